#include "outcome/MessageFor.h"

#include "satellite/SatelliteCheck.h"

std::optional<Message> message_for(bootloader::Outcome outcome)
{
    using bootloader::Outcome;
    switch (outcome) {
    case Outcome::Completed:
        return Message::UpdateCompleted;
    case Outcome::FinishFailed:
        return Message::UpdateFailed;
    case Outcome::Stopped:
        return std::nullopt;
    case Outcome::ImageUnreadable:
        return Message::BinCannotOpen;
    case Outcome::NotPrepared:
        return Message::NotPrepared;
    case Outcome::NoGoAhead:
        return Message::NoFeedback;
    case Outcome::CpuMismatch:
        return Message::CpuMismatch;
    case Outcome::ModelMismatch:
        return Message::ModelMismatch;
    case Outcome::TooOld:
        return Message::TooOld;
    case Outcome::NoVerdict:
        return Message::NoFeedback;
    case Outcome::Rejected:
        return Message::BinRejected;
    case Outcome::LineRejected:
        return Message::DataTransferError;
    case Outcome::NoLineFeedback:
        return Message::NoFeedback;
    case Outcome::PageNotWritten:
        return Message::PageWriteError;
    case Outcome::PortGone:
        return Message::PortGone;
    case Outcome::ImageChanged:
        return Message::BinChanged;
    }
    return std::nullopt;
}

Message message_for(satellite_protocol::Outcome outcome, bool reading)
{
    switch (outcome) {
    case satellite_protocol::Outcome::Done:
        break;
    case satellite_protocol::Outcome::ConnectionError:
        return Message::SatConnectionError;
    case satellite_protocol::Outcome::ReadError:
        return Message::SatReadError;
    case satellite_protocol::Outcome::WriteError:
        return Message::SatWriteError;
    case satellite_protocol::Outcome::PortGone:
        return Message::PortGone;
    case satellite_protocol::Outcome::Stopped:
        return Message::SatInterrupted;
    }
    return reading ? Message::SatReadDone : Message::SatWriteDone;
}

std::optional<Message> message_for(packager::Outcome outcome)
{
    switch (outcome) {
    case packager::Outcome::Done:
        return std::nullopt;
    case packager::Outcome::S19CannotOpen:
        return Message::S19CannotOpen;
    case packager::Outcome::BinCannotOpen:
        return Message::BinCannotCreate;
    case packager::Outcome::BadRecord:
        return Message::BadS19Record;
    case packager::Outcome::UnsupportedRecords:
        return Message::UnsupportedS19Records;
    case packager::Outcome::S19Changed:
        return Message::S19CannotRead;
    case packager::Outcome::WriteFailed:
        return Message::BinWriteFailed;
    }
    return std::nullopt;
}

std::optional<Message> message_for(srecord::IdentityOutcome outcome)
{
    switch (outcome) {
    case srecord::IdentityOutcome::Found:
        return std::nullopt;
    case srecord::IdentityOutcome::CannotOpen:
        return Message::S19CannotRead;
    case srecord::IdentityOutcome::Missing:
        return Message::NoFirmwareInformation;
    case srecord::IdentityOutcome::BadRecord:
        return Message::BadS19Record;
    case srecord::IdentityOutcome::UnsupportedRecords:
        return Message::UnsupportedS19Records;
    }
    return std::nullopt;
}

const char* status_for(bootloader::Phase phase)
{
    return phase == bootloader::Phase::EnteringBootloader ? status_text::entering : status_text::updating;
}

const char* status_for(bootloader::Outcome outcome)
{
    switch (outcome) {
    case bootloader::Outcome::Stopped:
        return status_text::stopped;
    case bootloader::Outcome::Completed:
        return status_text::completed;
    case bootloader::Outcome::FinishFailed:
        return status_text::failed;
    default:
        return nullptr;
    }
}

bool ends_with_every_page(bootloader::Outcome outcome)
{
    return outcome == bootloader::Outcome::Completed || outcome == bootloader::Outcome::FinishFailed;
}

const char* outcome_word(bootloader::Outcome outcome)
{
    switch (outcome) {
    case bootloader::Outcome::Completed:
        return "completed";
    case bootloader::Outcome::Stopped:
        return "stopped";
    case bootloader::Outcome::FinishFailed:
        return "not confirmed";
    default:
        return "failed";
    }
}

QString unpack_text(const unpacker::Result& result, const QString& bin_path, const QString& s19_path)
{
    const QString page = QStringLiteral("0x%1").arg(result.base, 4, 16, QLatin1Char('0'));
    switch (result.outcome) {
    case unpacker::Outcome::Done:
        return QString();
    case unpacker::Outcome::CannotOpen:
        return message_text(Message::BinCannotOpen).text;
    case unpacker::Outcome::TooShort:
        return QStringLiteral("%1: shorter than its 4-byte identity block").arg(bin_path);
    case unpacker::Outcome::BadChecksum:
        return QStringLiteral("%1: record %2 (page %3), line %4: the checksum fails")
            .arg(bin_path)
            .arg(result.record)
            .arg(page)
            .arg(result.line);
    case unpacker::Outcome::BadHeader:
        return QStringLiteral(
                   "%1: record %2: the header %3 is no page base (pages start at multiples of 0x200)")
            .arg(bin_path)
            .arg(result.record)
            .arg(page);
    case unpacker::Outcome::PartialRecord:
        return QStringLiteral("%1: ends in a partial record of %2 bytes")
            .arg(bin_path)
            .arg(result.trailing_bytes);
    case unpacker::Outcome::Unreachable:
        return QStringLiteral(
                   "%1: record %2 (page %3) holds a byte at 0x%4, in the identity area, that no S1 "
                   "record starting below 0x3100 can reach")
            .arg(bin_path)
            .arg(result.record)
            .arg(page)
            .arg(result.address, 4, 16, QLatin1Char('0'));
    case unpacker::Outcome::WriteFailed:
        return QStringLiteral("%1: cannot be written (an old file stays as it was)").arg(s19_path);
    }
    return QString();
}

namespace {

const char* const number_names[] = {"position", "vertical", "horizontal"};

QString quoted_text(const QString& text)
{
    return QLatin1Char('"') + satellite_csv::printable(text) + QLatin1Char('"');
}

} // namespace

QString csv_refusal_reason(const satellite_csv::Table& table)
{
    const char* why = "";
    switch (table.problem) {
    case satellite_csv::Problem::None:
        return QString();
    case satellite_csv::Problem::TooFewFields:
        why = "it holds fewer than four fields";
        break;
    case satellite_csv::Problem::OpenQuote:
        why = "a quoted field does not end on its line";
        break;
    case satellite_csv::Problem::TextAfterQuote:
        why = "a quoted field is followed by more than a separator";
        break;
    case satellite_csv::Problem::LongLine:
        return QStringLiteral("is longer than %1 bytes, and its first %1 do not hold four fields")
            .arg(satellite_csv::max_line_length);
    case satellite_csv::Problem::NotANumber:
        return QStringLiteral("holds a %1 that is not a plain number: %2")
            .arg(QLatin1String(number_names[qBound(1, table.refused_field, 3) - 1]),
                 quoted_text(table.refused_text));
    case satellite_csv::Problem::Ambiguous:
        return QStringLiteral(
            "holds both \";\" and commas between its values, and the other lines do not tell "
            "which of them separates the fields");
    }
    return QStringLiteral("does not read as four fields (%1)").arg(QLatin1String(why));
}

QString csv_refusal_text(const QString& path, const satellite_csv::Table& table)
{
    return QStringLiteral("%1:%2: error: the line %3; nothing of the file is sent")
        .arg(path)
        .arg(table.refused_line)
        .arg(csv_refusal_reason(table));
}

QString csv_refused_line_text(const satellite_csv::Table& table)
{
    return QStringLiteral("Line %1 of the CSV file %2")
        .arg(table.refused_line)
        .arg(csv_refusal_reason(table));
}

QList<CsvNote> csv_notes(const satellite_csv::Table& table)
{
    QList<CsvNote> notes;
    if (!table.header.isEmpty())
        notes << CsvNote{
            1, false,
            QStringLiteral("the first line is a header, skipped: %1").arg(quoted_text(table.header))};
    if (table.rows_beyond > 0)
        notes << CsvNote{0, true,
                         QStringLiteral("rows %1 to %2 are beyond the box's %3 entries: not read")
                             .arg(satellite_csv::max_lines + 1)
                             .arg(satellite_csv::max_lines + table.rows_beyond)
                             .arg(satellite_csv::max_lines)};
    return notes;
}

QString csv_load_remarks(const satellite_csv::Table& table)
{
    constexpr int shown = 12;
    QStringList lines;
    for (const CsvNote& note : csv_notes(table))
        lines << (note.line > 0 ? QStringLiteral("Line %1: %2").arg(note.line).arg(note.text)
                                : note.text.left(1).toUpper() + note.text.mid(1));
    for (const satellite_csv::Line& line : table.lines) {
        for (const QString& warning : satellite_check::check_line(line).warnings)
            lines << QStringLiteral("Line %1: %2").arg(line.number).arg(warning);
    }
    if (lines.size() > shown) {
        const qsizetype more = lines.size() - shown;
        lines = lines.mid(0, shown);
        lines << QStringLiteral("... and %1 more (zorvane-cli sat-check shows them all)").arg(more);
    }
    return lines.join(QLatin1Char('\n'));
}

QString csv_form_text(unsigned form)
{
    QStringList parts;
    if (form & satellite_csv::Quoted)
        parts << QStringLiteral("quoted");
    if (form & satellite_csv::Semicolons)
        parts << QStringLiteral("\";\" between the fields");
    if (form & satellite_csv::Tabs)
        parts << QStringLiteral("tabs between the fields");
    if (form & satellite_csv::ByteOrderMark)
        parts << QStringLiteral("UTF-8 (byte-order mark)");
    if (form & satellite_csv::Utf8)
        parts << QStringLiteral("UTF-8");
    if (form & satellite_csv::Utf16)
        parts << QStringLiteral("UTF-16");
    if (form & satellite_csv::Windows1252)
        parts << QStringLiteral("Windows-1252");
    if (form & satellite_csv::CrLineEnds)
        parts << QStringLiteral("CR line ends");
    return parts.join(QStringLiteral(", "));
}

QString row_list(const QList<int>& rows)
{
    QStringList numbers;
    for (const int row : rows)
        numbers << QString::number(row);
    return numbers.join(QStringLiteral(", "));
}
