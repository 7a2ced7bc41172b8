/* vcomctl: installs the vcombus driver and controls its bus from the command line. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* The one translation unit that defines the GUIDs of the public header. */
#include <initguid.h>

#include "vcomctl.h"
#include "vcombus/ioctl.h"

static const char Usage[] =
    "usage: vcomctl COMMAND\n"
    "\n"
    "Commands:\n"
    "  install [--inf PATH]  install the bus device and its driver from vcombus.inf (by default\n"
    "                        the one next to vcomctl.exe) and wait until the bus runs; an\n"
    "                        installed bus is left as it is\n"
    "  uninstall             remove the bus device (and its ports), its service and the staged\n"
    "                        setup information\n"
    "  status                find the running bus and print its driver's version\n"
    "  --help                print this text\n"
    "\n"
    "Exit status: 0 on success, 1 on failure (one line on stderr says why), 2 on a usage error.\n"
    "install and uninstall need an administrator.\n";

static int UsageError(const char* format, const WCHAR* word)
{
    fputs("vcomctl: ", stderr);
    fprintf(stderr, format, word);
    fputs(" (try 'vcomctl --help')\n", stderr);
    return VcomctlUsage;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
        return UsageError("no command given%ls", L"");
    const WCHAR* command = argv[1];
    if (wcscmp(command, L"--help") == 0 || wcscmp(command, L"-h") == 0 ||
        wcscmp(command, L"help") == 0 || wcscmp(command, L"/?") == 0) {
        fputs(Usage, stdout);
        return VcomctlOk;
    }
    if (wcscmp(command, L"install") == 0) {
        const WCHAR* inf = NULL;
        for (int i = 2; i < argc; ++i) {
            if (wcscmp(argv[i], L"--inf") == 0 && i + 1 < argc)
                inf = argv[++i];
            else
                return UsageError("install: unexpected argument '%ls'", argv[i]);
        }
        return CommandInstall(inf);
    }
    if (wcscmp(command, L"uninstall") == 0 || wcscmp(command, L"status") == 0) {
        if (argc > 2)
            return UsageError("unexpected argument '%ls'", argv[2]);
        return command[0] == L'u' ? CommandUninstall() : CommandStatus();
    }
    return UsageError("unknown command '%ls'", command);
}
