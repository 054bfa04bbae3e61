#include "outcome/MessageFor.h"

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

QString csv_refusal_text(const QString& path, const satellite_csv::Table& table)
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
    }
    return QStringLiteral("%1:%2: error: the line does not read as four fields (%3); nothing of the file is "
                          "sent")
        .arg(path)
        .arg(table.refused_line)
        .arg(QLatin1String(why));
}

QString csv_form_text(unsigned form)
{
    QStringList parts;
    if (form & satellite_csv::Quoted)
        parts << QStringLiteral("quoted");
    if (form & satellite_csv::Semicolons)
        parts << QStringLiteral("\";\" between the fields");
    if (form & satellite_csv::ByteOrderMark)
        parts << QStringLiteral("UTF-8 (byte-order mark)");
    if (form & satellite_csv::Utf8)
        parts << QStringLiteral("UTF-8");
    return parts.join(QStringLiteral(", "));
}

QString row_list(const QList<int>& rows)
{
    QStringList numbers;
    for (const int row : rows)
        numbers << QString::number(row);
    return numbers.join(QStringLiteral(", "));
}
