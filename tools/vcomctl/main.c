/* vcomctl: installs the vcombus driver and controls its bus from the command line. */
#include <stdio.h>
#include <string.h>
#include <stddef.h>
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
    "                        the one next to vcomctl.exe; the ports' vcomport.inf beside it)\n"
    "                        and wait until the bus runs; an installed bus is left as it is,\n"
    "                        unless its driver is not the package's: then it is installed again.\n"
    "                        Refuses, saying what to do, when the machine doesn't trust the\n"
    "                        package's signer or would not load its driver (test signing off)\n"
    "  trust [--cert PATH]   add the package's test certificate (vcombus-test.cer next to\n"
    "                        vcomctl.exe) to the machine's Root and TrustedPublisher stores, so\n"
    "                        that Windows installs the package without asking\n"
    "  untrust [--cert PATH] remove that certificate from those stores again\n"
    "  path add|remove DIR   put folder DIR on the system PATH, or take it off (the setup\n"
    "                        program does so for its folder)\n"
    "  uninstall             remove the restore service and the recorded configuration, the\n"
    "                        bus device (and its ports), its service, its image and the\n"
    "                        staged setup information\n"
    "  status                find the running bus and print its driver's version, whether the\n"
    "                        restore service runs and whether the live setup matches the\n"
    "                        recorded configuration\n"
    "  plug N [--hwid ID]... [--com COMx] [--temporary]\n"
    "                        plug in port N with these hardware identifiers (default\n"
    "                        VCOMBUS\\Port); 1-8 are hub ports, 9 and up null-modem pairs;\n"
    "                        --com gives it a COM name too\n"
    "  pair N [--com COMa,COMb] [--temporary]\n"
    "                        plug in ports N and N+1, a null-modem pair (N odd, 9 or more),\n"
    "                        with these COM names\n"
    "  name N COMx           give plugged port N the COM name COMx (COM1 to COM4096): every\n"
    "                        program opens it as \\\\.\\COMx, and port lists show it\n"
    "  unname N              take port N's COM name away\n"
    "  unplug N|all          unplug port N, or every port, and remove their COM names\n"
    "  eject N|all           eject port N, or every port, the way Windows ejects a device\n"
    "  list                  list the plugged ports: number, partner, device, COM name; and\n"
    "                        the recorded bridges with their state\n"
    "  version               print the driver's version\n"
    "  connect COMx|--port N HOST:PORT [--temporary]\n"
    "                        make COMx (a pair's end, plugged and named if it isn't) the far\n"
    "                        end of an RFC 2217 server such as ser2net: data both ways, the\n"
    "                        application's settings to the server, its modem lines back; a\n"
    "                        lost connection is retried with backoff. Recorded: the restore\n"
    "                        service runs it; --temporary (or a port plugged so) runs it here\n"
    "                        until Ctrl+C\n"
    "  serve COMx PORT [--listen ADDRESS] [--share] [--temporary]\n"
    "                        share COMx with RFC 2217 clients on TCP PORT of ADDRESS (default\n"
    "                        127.0.0.1): one at a time (a second is refused), or with --share\n"
    "                        several (the port's data to each, each one's data and commands to\n"
    "                        the port); recorded and run as connect is\n"
    "  disconnect COMx|--port N, unserve COMx\n"
    "                        take the bridge on COMx out of the record; the service stops it\n"
    "                        (the port stays)\n"
    "  config line-settings [on|off]\n"
    "                        whether ports answer what standard serial programs set on open\n"
    "                        (baud rate, line control, DTR/RTS and the partner's modem status);\n"
    "                        read at each open of a port; without on|off, print the setting\n"
    "  config pacing [on|off]\n"
    "                        whether delivery is paced (large blocks in two halves a clock tick\n"
    "                        apart, input counts capped right after a read) or every block whole;\n"
    "                        read when the driver loads; without on|off, print the setting\n"
    "  config baud-timing [on|off]\n"
    "                        whether a pair's writes take as long as a real line at the writer's\n"
    "                        baud rate (held while sent, output queue, EV_TXEMPTY after the last\n"
    "                        byte); needs line-settings; read at each open; off in the package\n"
    "  tap attach NAME       attach the tap to the real serial port NAME (COMx, or a device name\n"
    "                        such as \\Device\\Serial0); one tap at most\n"
    "  tap detach            stop the tap: it passes everything through until the real port is\n"
    "                        removed or attached to again\n"
    "  tap configure [--capture received|sent|none] [--exclude N] [ROUTING]\n"
    "                        set the routing and start capture: the real port's received (or\n"
    "                        sent) bytes are copied to every hub port but N\n"
    "  tap disable           stop capture; the settings stay\n"
    "  tap status            say whether a tap is attached and what it is doing\n"
    "  route [ROUTING]       set the hub's routing only\n"
    "      ROUTING: --hub LIST (hub ports that take part, e.g. 1,2), then --master N (their\n"
    "               bytes go to hub port N) or --real-port (they go out through the real\n"
    "               port); --no-pacing stores every write whole, --pacing paces them\n"
    "               (without either, as config pacing says). Routing acts while a tap\n"
    "               is attached.\n"
    "  export [FILE]         print the recorded configuration (or write it to FILE)\n"
    "  import FILE           record the configuration in FILE and apply it; a file with a bad\n"
    "                        line changes nothing and names the line\n"
    "  --help                print this text\n"
    "\n"
    "Every command that changes the setup also records it; the restore service (vcomsvc) puts\n"
    "the recorded configuration back after a restart or when the bus starts again. Ports\n"
    "plugged in with --temporary stay out of the record.\n"
    "\n"
    "Exit status: 0 on success, 1 on failure (one line on stderr says why), 2 on a usage error.\n"
    "Every command but --help needs an administrator: the bus opens only for SYSTEM and\n"
    "administrators.\n";

/* "com21" is COM21; the name as the system spells it. */
static int CanonicalComName(const WCHAR* text, WCHAR* name, size_t size)
{
    unsigned long number;
    if (!ParseComName(text, &number))
        return 0;
    FormatComName(number, name, size);
    return 1;
}

static int UsageError(const char* format, const WCHAR* word)
{
    fputs("vcomctl: ", stderr);
    fprintf(stderr, format, word);
    fputs(" (try 'vcomctl --help')\n", stderr);
    return VcomctlUsage;
}

static int UsageErrorText(const WCHAR* command, const char* text)
{
    fprintf(stderr, "vcomctl: %ls: %s (try 'vcomctl --help')\n", command, text);
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
    if (wcscmp(command, L"trust") == 0 || wcscmp(command, L"untrust") == 0) {
        const WCHAR* cert = NULL;
        if (argc == 4 && wcscmp(argv[2], L"--cert") == 0)
            cert = argv[3];
        else if (argc != 2)
            return UsageError("%ls: the one option is --cert PATH", command);
        return command[0] == L't' ? CommandTrust(cert) : CommandUntrust(cert);
    }
    if (wcscmp(command, L"path") == 0) {
        if (argc != 4 || (wcscmp(argv[2], L"add") != 0 && wcscmp(argv[2], L"remove") != 0))
            return UsageError("path: add DIR or remove DIR%ls", L"");
        return CommandPath(argv[2][0] == L'a', argv[3]);
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
        WCHAR com[16];
        const WCHAR* name = NULL;
        int temporary = 0;
        for (int i = 3; i < argc; ++i) {
            if (wcscmp(argv[i], L"--temporary") == 0) {
                temporary = 1;
                continue;
            }
            if (wcscmp(argv[i], L"--com") == 0 && i + 1 < argc && name == NULL) {
                if (!CanonicalComName(argv[++i], com, ARRAYSIZE(com)))
                    return UsageError("plug: not a COM name: '%ls' (COM1 to COM4096)", argv[i]);
                name = com;
                continue;
            }
            if (wcscmp(argv[i], L"--hwid") != 0 || i + 1 >= argc)
                return UsageError("plug: unexpected argument '%ls'", argv[i]);
            if (idCount == (int)ARRAYSIZE(ids))
                return UsageError("plug: too many identifiers%ls", L"");
            ids[idCount++] = argv[++i];
        }
        return CommandPlug(number, ids, idCount, name, temporary);
    }
    if (wcscmp(command, L"pair") == 0) {
        unsigned long number;
        /* --temporary wherever it stands, as plug takes it. */
        int temporary = 0;
        for (int i = 3; i < argc; i++)
            if (wcscmp(argv[i], L"--temporary") == 0) {
                temporary = 1;
                memmove(&argv[i], &argv[i + 1], (size_t)(argc - i - 1) * sizeof(argv[0]));
                --argc;
                break;
            }
        if ((argc != 3 && argc != 5) || !ParsePortNumber(argv[2], &number))
            return UsageError("pair: needs one port number%ls", L"");
        if (argc == 3)
            return CommandPair(number, NULL, temporary);
        if (wcscmp(argv[3], L"--com") != 0)
            return UsageError("pair: unexpected argument '%ls'", argv[3]);
        WCHAR names[2][16];
        const WCHAR* comma = wcschr(argv[4], L',');
        WCHAR first[16];
        if (comma == NULL || comma - argv[4] >= (ptrdiff_t)ARRAYSIZE(first))
            return UsageError("pair: --com needs two COM names, COMa,COMb, not '%ls'", argv[4]);
        wcsncpy(first, argv[4], (size_t)(comma - argv[4]));
        first[comma - argv[4]] = L'\0';
        if (!CanonicalComName(first, names[0], 16) || !CanonicalComName(comma + 1, names[1], 16))
            return UsageError("pair: not two COM names (COM1 to COM4096): '%ls'", argv[4]);
        if (wcscmp(names[0], names[1]) == 0)
            return UsageError("pair: the two ports need two different names, not %ls twice", names[0]);
        const WCHAR* const both[] = {names[0], names[1]};
        return CommandPair(number, both, temporary);
    }
    if (wcscmp(command, L"name") == 0) {
        unsigned long number;
        WCHAR com[16];
        if (argc != 4 || !ParsePortNumber(argv[2], &number))
            return UsageError("name: needs a port number and a COM name%ls", L"");
        if (!CanonicalComName(argv[3], com, ARRAYSIZE(com)))
            return UsageError("name: not a COM name: '%ls' (COM1 to COM4096)", argv[3]);
        return CommandName(number, com);
    }
    if (wcscmp(command, L"unname") == 0) {
        unsigned long number;
        if (argc != 3 || !ParsePortNumber(argv[2], &number))
            return UsageError("unname: needs one port number%ls", L"");
        return CommandUnname(number);
    }
    if (wcscmp(command, L"unplug") == 0 || wcscmp(command, L"eject") == 0) {
        unsigned long number = 0;
        if (argc != 3)
            return UsageError("%ls: needs one port number", command);
        int all = wcscmp(argv[2], L"all") == 0;
        if (!all && !ParsePortNumber(argv[2], &number))
            return UsageError("not a port number: '%ls'", argv[2]);
        return CommandRemove(command[0] == L'e', number);
    }
    if (wcscmp(command, L"list") == 0 || wcscmp(command, L"version") == 0) {
        if (argc > 2)
            return UsageError("unexpected argument '%ls'", argv[2]);
        return command[0] == L'l' ? CommandList() : CommandVersion();
    }
    if (wcscmp(command, L"config") == 0) {
        static const wchar_t* const settings[] = {L"line-settings", L"pacing", L"baud-timing"};
        static int (*const commands[])(int, int) = {CommandConfigLineSettings, CommandConfigPacing,
                                                    CommandConfigBaudTiming};
        static const char* const valueErrors[] = {"config line-settings: on or off, not '%ls'",
                                                  "config pacing: on or off, not '%ls'",
                                                  "config baud-timing: on or off, not '%ls'"};
        int which = -1;
        for (int i = 0; argc >= 3 && i < 3; i++) {
            if (wcscmp(argv[2], settings[i]) == 0)
                which = i;
        }
        if (which < 0)
            return UsageError("config: the settings are line-settings, pacing and baud-timing, not '%ls'",
                              argc >= 3 ? argv[2] : L"");
        if (argc == 3)
            return commands[which](0, 0);
        if (argc != 4 || (wcscmp(argv[3], L"on") != 0 && wcscmp(argv[3], L"off") != 0))
            return UsageError(valueErrors[which], argc > 3 ? argv[3] : L"");
        return commands[which](1, argv[3][1] == L'n');
    }
    if (wcscmp(command, L"export") == 0) {
        if (argc > 3)
            return UsageError("export: at most one file, not '%ls'", argv[3]);
        return CommandExport(argc == 3 ? argv[2] : NULL);
    }
    if (wcscmp(command, L"import") == 0) {
        if (argc != 3)
            return UsageError("import: needs one file%ls", L"");
        return CommandImport(argv[2]);
    }
    if (wcscmp(command, L"connect") == 0 || wcscmp(command, L"serve") == 0 || wcscmp(command, L"disconnect") == 0 ||
        wcscmp(command, L"unserve") == 0) {
        int isServer = command[0] == L's' || command[0] == L'u';
        int removing = command[0] == L'd' || command[0] == L'u';
        BridgeDefinition definition;
        char error[400];
        int temporary = 0;
        if (removing) {
            /* Named by its local end only. */
            memset(&definition, 0, sizeof(definition));
            definition.IsServer = isServer;
            if (!isServer && argc == 4 && wcscmp(argv[2], L"--port") == 0) {
                if (!ParsePortNumber(argv[3], &definition.Number))
                    return UsageError("'%ls' is no port number", argv[3]);
            } else if (argc != 3 || !CanonicalComName(argv[2], definition.Com, ARRAYSIZE(definition.Com))) {
                return UsageError(isServer ? "unserve takes one COM name%ls" : "disconnect takes COMx or --port N%ls",
                                  L"");
            }
            return CommandDisconnect(&definition);
        }
        if (!ParseBridge(isServer, argc - 2, argv + 2, &definition, &temporary, error, sizeof(error)))
            return UsageErrorText(command, error);
        return isServer ? CommandServe(&definition, temporary) : CommandConnect(&definition, temporary);
    }
    if (wcscmp(command, L"tap") == 0)
        return CommandTap(argc - 2, argv + 2);
    if (wcscmp(command, L"route") == 0)
        return CommandRoute(argc - 2, argv + 2);
    return UsageError("unknown command '%ls'", command);
}
