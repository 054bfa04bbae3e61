// zorvane-cli: the Velantor KDR7 Loader Editor's jobs from a terminal or a script, on the same engines as
// the window. Messages are the window's texts, on standard error; each kind of failure has its exit status.
#include "cli/Commands.h"
#include "cli/Terminal.h"

#include <QCoreApplication>

#include <csignal>

namespace {

struct Command
{
    const char* name;
    const char* synopsis;
    const char* summary;
    int (*run)(const QStringList& arguments);
};

const Command command_table[] = {
    {"pack", "pack FILE.s19 FILE.bin", "package S19 firmware into a BIN image", commands::pack},
    {"info", "info [--json] FILE.bin", "show what a BIN image holds", commands::info},
    {"unpack", "unpack FILE.bin FILE.s19", "turn a BIN image back into S19 firmware", commands::unpack},
    {"flash", "flash --port PORT FILE.bin", "program an image into the box (--port repeated: a rack)",
     commands::flash},
    {"flash", "flash --watch [DIR] FILE.bin", "program each box as it is plugged in", commands::flash},
    {"sat-read", "sat-read --port PORT FILE.csv", "read the box's satellite table into a CSV file",
     commands::sat_read},
    {"sat-write", "sat-write --port PORT FILE.csv", "write a CSV file's satellite table into the box",
     commands::sat_write},
    {"sat-check", "sat-check FILE.csv", "show a CSV table as the box will receive it, and warn",
     commands::sat_check},
    {"ports", "ports", "list the ports and the system's serial devices", commands::ports},
};

// On standard output when asked for, on standard error after a mistake.
void print_usage(void (*print)(const QString&))
{
    print(QStringLiteral("Usage: zorvane-cli COMMAND [OPTIONS] ARGUMENTS\n\nCommands:\n"));
    for (const Command& c : command_table)
        print(QString::asprintf("  %-34s %s\n", c.synopsis, c.summary));
    print(
        QStringLiteral("\nPORT is COM1 to COM15; on Windows any COMn, elsewhere also a device path such as "
                       "/dev/ttyUSB0.\nzorvane-cli COMMAND --help tells more. On other systems than Windows, "
                       "KDR7_COM<n> names the device of COM<n>.\n"));
}

} // namespace

int main(int argc, char* argv[])
{
#ifdef SIGXFSZ
    // A write beyond the file-size limit then fails with EFBIG, and the file's own handling says so (a log
    // record lost, a trace incomplete), instead of the signal ending the process with boxes half-programmed.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // Output piped into a program that has had enough ("| head -n 1") is a failed write, not the end of a
    // watch whose boxes are being programmed and recorded.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorvane-cli"));
    // Debug lines of the engines (page addresses and the like) are for developers, not for this output.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            cli::say(text);
    });
    QStringList arguments = app.arguments();
    if (arguments.size() < 2 || arguments.at(1) == QLatin1String("--help") ||
        arguments.at(1) == QLatin1String("-h")) {
        void (*print)(const QString&) = arguments.size() < 2 ? cli::print_error : cli::print;
        print_usage(print);
        print(QStringLiteral("\n%1\n").arg(QLatin1String(cli::exit_help)));
        return arguments.size() < 2 ? cli::Usage : cli::Success;
    }
    const QString name = arguments.takeAt(1);
    arguments[0] = QStringLiteral("zorvane-cli ") + name;
    for (const Command& c : command_table) {
        if (name == QLatin1String(c.name))
            return c.run(arguments);
    }
    cli::print_error(QStringLiteral("zorvane-cli: unknown command %1\n\n").arg(name));
    print_usage(cli::print_error);
    return cli::Usage;
}
