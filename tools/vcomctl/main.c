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
    "  plug N [--hwid ID]... plug in port N with these hardware identifiers (default\n"
    "                        VCOMBUS\\Port); 1-8 are hub ports, 9 and up null-modem pairs\n"
    "  pair N                plug in ports N and N+1, a null-modem pair (N odd, 9 or more)\n"
    "  unplug N|all          unplug port N, or every port\n"
    "  eject N|all           eject port N, or every port, the way Windows ejects a device\n"
    "  list                  print how many ports the bus has\n"
    "  version               print the driver's version\n"
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
    if (wcscmp(command, L"plug") == 0) {
        unsigned long number;
        if (argc < 3 || !ParsePortNumber(argv[2], &number))
            return UsageError("plug: needs a port number%ls", L"");
        const WCHAR* ids[64];
        int idCount = 0;
        for (int i = 3; i < argc; ++i) {
            if (wcscmp(argv[i], L"--hwid") != 0 || i + 1 >= argc)
                return UsageError("plug: unexpected argument '%ls'", argv[i]);
            if (idCount == (int)ARRAYSIZE(ids))
                return UsageError("plug: too many identifiers%ls", L"");
            ids[idCount++] = argv[++i];
        }
        return CommandPlug(number, ids, idCount);
    }
    if (wcscmp(command, L"pair") == 0 || wcscmp(command, L"unplug") == 0 ||
        wcscmp(command, L"eject") == 0) {
        unsigned long number = 0;
        if (argc != 3)
            return UsageError("%ls: needs one port number", command);
        int all = command[0] != L'p' && wcscmp(argv[2], L"all") == 0;
        if (!all && !ParsePortNumber(argv[2], &number))
            return UsageError("not a port number: '%ls'", argv[2]);
        if (command[0] == L'p')
            return CommandPair(number);
        return CommandRemove(command[0] == L'e', number);
    }
    if (wcscmp(command, L"list") == 0 || wcscmp(command, L"version") == 0) {
        if (argc > 2)
            return UsageError("unexpected argument '%ls'", argv[2]);
        return command[0] == L'l' ? CommandList() : CommandVersion();
    }
    return UsageError("unknown command '%ls'", command);
}
