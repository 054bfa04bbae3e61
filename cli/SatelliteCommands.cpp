#include "cli/Commands.h"
#include "cli/Ports.h"
#include "cli/TableLines.h"
#include "cli/Terminal.h"
#include "common/SafeFile.h"
#include "common/TimerResolution.h"
#include "outcome/MessageFor.h"
#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteProtocol.h"
#include "satellite/SatelliteRecord.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"
#include "station/ProductionLog.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>

#include <memory>

using namespace cli;

namespace {

// The satellite table between the box and a CSV file, without a grid: rows are entries - 1.
class FileTable : public satellite_protocol::Table
{
public:
    FileTable() : bar("entries", satellite_protocol::entry_count) {}
    void record_read(int entry, const satellite_record::Record& record) override
    {
        rows[entry - 1] = satellite_record::decode(record);
    }
    satellite_record::Record record_to_write(int entry) override
    {
        return satellite_record::encode(rows[entry - 1]);
    }
    void entry_done(int entry) override
    {
        entries_done = entry;
        bar.show(entry);
    }
    bool stop_requested() override { return interrupted(); }

    SatelliteCells rows[satellite_protocol::entry_count];
    int entries_done = 0;
    Progress bar;
};

// The rows to write, from the lines read; Success or the exit status.
int load_rows(const QString& path, const satellite_csv::Table& lines, FileTable& table, bool allow_short)
{
    const int count = int(lines.lines.size());
    for (int i = 0; i < count; ++i)
        table.rows[i] = satellite_csv::cells(lines.lines[i]);
    if (count < satellite_protocol::entry_count && !allow_short) {
        say(QStringLiteral("%1 has %2 lines; the box's table has 99 (--allow-short writes the rest empty)")
                .arg(path)
                .arg(count));
        return InputRejected;
    }
    return Success;
}

// sat-write's record in the production log: opened before anything is sent, appended when the job ends.
class WriteLog
{
public:
    // Success, or OutputUnwritable with the reason said.
    int open(const QString& log_path, const QString& csv, const satellite_csv::Digest& read, const Port& port)
    {
        if (!log.open(log_path, csv))
            return tell_unwritable(log_path);
        log.reopened = [](const QString& path) { say(command_text::log_reopened(path)); };
        clock.start();
        record = job_record("sat-write", port.name, port.device, adapter_serial(port.name, port.device));
        record.insert("start", utc_now());
        record.insert("csv", file_fields(csv, read.size,
                                         read.complete ? std::optional<QByteArray>(read.sha256.result())
                                                       : std::nullopt));
        return Success;
    }
    // The job's end: how the box's exchange ended (its word and message), the job's status, and whether
    // its trace is whole; the status, or OutputUnwritable when the record could not be appended.
    int close(const char* word, int status, const QString& message, int entries,
              std::optional<bool> trace_whole = std::nullopt)
    {
        if (!log.is_open())
            return status;
        record.insert("entries", entries);
        // The outcome is the box's: a trace that could not be written is said beside it, never in its place.
        if (trace_whole)
            record.insert("trace_complete", *trace_whole);
        add_ending(record, QLatin1String(word), status,
                   trace_whole == false ? message + QLatin1String(command_text::trace_incomplete_note)
                                        : message,
                   double(clock.elapsed()) / 1000.0);
        switch (log.append_record(record)) {
        case ProductionLog::Appended::Synced:
            return status;
        case ProductionLog::Appended::Unsynced:
            say(command_text::log_record_unsynced(log.path()));
            break;
        case ProductionLog::Appended::Lost:
            say(command_text::log_record_lost(log.path()));
            break;
        }
        return status == Success ? int(OutputUnwritable) : status;
    }

private:
    static int tell_unwritable(const QString& path)
    {
        say(command_text::log_unwritable(path));
        return OutputUnwritable;
    }
    ProductionLog log;
    QJsonObject record;
    QElapsedTimer clock;
};

// sat-write's own options.
struct WriteOptions
{
    QCommandLineOption allow_short{
        QStringLiteral("allow-short"),
        QStringLiteral("Write entries the file has no line for as empty entries.")};
    QCommandLineOption check{QStringLiteral("check"),
                             QStringLiteral("Check the file as sat-check does first; "
                                            "refuse to write when it warns.")};
    QCommandLineOption force{QStringLiteral("force"),
                             QStringLiteral("With --check: write all the same, after the warnings.")};
    QCommandLineOption log = log_option();
};

// The file read once (through digest, when the log is to record it), checked when asked, and loaded;
// Success or the exit status.
int prepare_write(const QCommandLineParser& parser, const WriteOptions& o, const QString& path,
                  FileTable& table, satellite_csv::Digest* digest)
{
    satellite_csv::Table lines;
    if (const int read = read_table_lines(path, lines, digest))
        return read;
    if (parser.isSet(o.check) && check_table(path, lines, false) == InputRejected && !parser.isSet(o.force)) {
        say(QStringLiteral("%1 is not written: the box would not get the file as it stands (--force "
                           "writes it all the same)")
                .arg(path));
        return InputRejected;
    }
    return load_rows(path, lines, table, parser.isSet(o.allow_short));
}

// How long a save waits for a program that holds the CSV file to let it go: an antivirus or the indexer
// reads a new file within this; Excel keeps a workbook until it is closed.
constexpr int held_wait_ms = 2000;
constexpr int held_retry_ms = 100;

enum class Saved
{
    Done,
    CannotOpen,
    Failed,
};

Saved write_table(const QString& path, const FileTable& table, QList<int>& replaced)
{
    satellite_csv::Writer file;
    if (!file.open(path))
        return Saved::CannotOpen;
    for (const SatelliteCells& row : table.rows)
        file.write_row(row);
    if (!file.commit())
        return Saved::Failed;
    replaced = file.replaced_rows();
    return Saved::Done;
}

// The table read from the box, into the CSV file (an old file stays as it was unless all was written).
// Where another program holds the file, the save is tried again for a while; then the rows go beside it
// (NAME.new), so that nothing read from the box is lost, and the save counts as failed.
int save_table(const QString& path, const FileTable& table)
{
    QList<int> replaced;
    QDeadlineTimer held_for(held_wait_ms);
    Saved saved = write_table(path, table, replaced);
    while (saved == Saved::Failed && SafeFile::held_elsewhere(path) && !held_for.hasExpired()) {
        QThread::msleep(held_retry_ms);
        saved = write_table(path, table, replaced);
    }
    if (saved == Saved::Failed && SafeFile::held_elsewhere(path)) {
        say(command_text::csv_held(path));
        const QString beside = path + QStringLiteral(".new");
        if (write_table(beside, table, replaced) != Saved::Done)
            return tell(Message::CsvWriteFailed, OutputUnwritable);
        say(command_text::csv_kept_beside(beside));
        return OutputUnwritable;
    }
    if (saved == Saved::CannotOpen)
        return tell(Message::CsvCannotOpen, OutputUnwritable);
    if (saved == Saved::Failed)
        return tell(Message::CsvWriteFailed, OutputUnwritable);
    if (!replaced.isEmpty())
        say(message_text(Message::CsvCellsReplaced, row_list(replaced)).text);
    return Success;
}

int satellites(const QStringList& arguments, bool reading)
{
    QCommandLineParser parser;
    const QCommandLineOption port = port_option();
    const QCommandLineOption trace_file = trace_option();
    parser.addOptions({port, trace_file});
    const WriteOptions write_options;
    if (!reading)
        parser.addOptions(
            {write_options.allow_short, write_options.check, write_options.force, write_options.log});
    parser.addPositionalArgument(
        QStringLiteral("FILE.csv"),
        QStringLiteral("The satellite table, as the window or a spreadsheet saves it."));
    int status = Success;
    const QString synopsis =
        reading ? QStringLiteral(
                      "Reads the box's 99 satellites into a CSV file (written only when the read succeeds).")
                : QStringLiteral(
                      "Writes a CSV file's 99 satellites into the box. A file with fewer lines is refused "
                      "unless --allow-short is given.");
    if (!parse(parser, arguments, synopsis, 1, status))
        return status;
    if (!parser.isSet(port)) {
        say(QStringLiteral("%1 needs --port PORT").arg(reading ? "sat-read" : "sat-write"));
        return Usage;
    }
    QList<Port> ports;
    if (const int resolved = resolve_ports({parser.value(port)}, ports))
        return resolved;
    const QString path = parser.positionalArguments().at(0);
    // No file the job writes may be another of its files: a trace opened over the log (or over the table
    // read) would cut it.
    const std::optional<QString> trace_at = trace_path(parser, trace_file);
    QStringList outputs;
    if (!reading && parser.isSet(write_options.log))
        outputs << parser.value(write_options.log);
    if (trace_at)
        outputs << *trace_at;
    if (reading)
        outputs.prepend(path);
    if (const int apart = distinct_files(reading ? QStringList() : QStringList{path}, outputs))
        return apart;
    auto table = std::make_unique<FileTable>();
    const bool logged = !reading && parser.isSet(write_options.log);
    // The log records the bytes as they were read and sent: the file is opened and read once.
    satellite_csv::Digest digest;
    if (!reading) {
        if (const int prepared =
                prepare_write(parser, write_options, path, *table, logged ? &digest : nullptr))
            return prepared;
    }
    WriteLog log;
    if (logged) {
        if (const int opened = log.open(parser.value(write_options.log), path, digest, ports.first()))
            return opened;
    }
    SerialChannel channel;
    Trace trace;
    if (const int traced = open_trace(trace_at, path, ports.first(), trace))
        return traced;
    if (trace_at)
        channel.set_trace(&trace);
    if (const int opened = open_port(channel, ports.first()))
        return log.close(command_text::no_port_word, opened, message_text(Message::PortUnavailable).text, 0);
    satellite_protocol::Outcome outcome;
    // Ctrl+C or a stop signal ends the exchange after the entry in progress, and the record says so.
    catch_interrupt();
    {
        const TimerResolution fine_sleeps;
        outcome = reading ? satellite_protocol::read_table(channel, *table)
                          : satellite_protocol::write_table(channel, *table);
    }
    const QString message = message_text(message_for(outcome, reading), table->entries_done).text;
    say(message);
    const int job_status = end_trace(trace, trace_at.value_or(QString()), exit_for(outcome));
    if (outcome != satellite_protocol::Outcome::Done || !reading) {
        const char* word = outcome == satellite_protocol::Outcome::Done      ? "completed"
                           : outcome == satellite_protocol::Outcome::Stopped ? "stopped"
                                                                             : "failed";
        const int ended = log.close(word, job_status, message, table->entries_done,
                                    trace_at ? std::optional<bool>(!trace.failed()) : std::nullopt);
        release_interrupt();
        return ended;
    }
    release_interrupt();
    if (const int saved = save_table(path, *table))
        return saved;
    return job_status;
}

} // namespace

int commands::sat_read(const QStringList& arguments)
{
    return satellites(arguments, true);
}

int commands::sat_write(const QStringList& arguments)
{
    return satellites(arguments, false);
}
