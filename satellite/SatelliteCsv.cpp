#include "satellite/SatelliteCsv.h"

#include "common/InputFile.h"

#include <QBuffer>
#include <QStringDecoder>

#include <algorithm>

#include <cstdint>

namespace satellite_csv {

namespace {

constexpr char utf8_mark[] = "\xEF\xBB\xBF";
constexpr qint64 chunk_size = 64 * 1024;
// A UTF-16 file is turned into UTF-8 text before its lines are read: this much of it (99 lines of 254
// characters are a small part of that).
constexpr qsizetype utf16_text_limit = 4 * 1024 * 1024;
constexpr int fields_read = 4;

// Windows-1252 characters for the bytes 0x80-0x9F; 0 where it has none. None is in ISO 8859-1.
constexpr char16_t windows_1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// A numeric field in the width of T: every character other than a sign counts as a digit (its code minus
// "0"), the last sign wins, and the value wraps.
template <typename T> T number_field(const QByteArray& field)
{
    using U = std::make_unsigned_t<T>;
    U value = 0;
    bool minus = false;
    for (const char ch : field) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (c == '-')
            minus = true;
        else if (c == '+')
            minus = false;
        else
            value = U(value * 10 + U(c - 0x30));
    }
    return static_cast<T>(minus ? U(0 - value) : value);
}

struct Split
{
    QList<QByteArray> fields;
    bool quoted = false; // some field was in quotes
    Problem problem = Problem::None;
};

// A field that begins with a double quote at text[j]: its value, and where the text goes on after the
// closing quote; nullopt when no lone double quote closes it.
struct QuotedField
{
    QByteArray value;
    qsizetype next = 0;
    bool needed = false; // it holds what only quotes let a field hold: a comma, a doubled quote, a CR
};

std::optional<QuotedField> quoted_field(const QByteArray& text, qsizetype j)
{
    QuotedField q;
    const qsizetype n = text.size();
    ++j;
    for (;;) {
        const qsizetype close = text.indexOf('"', j);
        if (close < 0)
            return std::nullopt;
        q.value.append(text.constData() + j, close - j);
        j = close + 1;
        if (j >= n || text[j] != '"')
            break;
        q.value.append('"');
        q.needed = true;
        ++j;
    }
    q.needed = q.needed || q.value.contains(',') || q.value.contains('\r');
    q.next = j;
    return q;
}

// The fields of a line. With quotes, a field that begins with a double quote is quoted: it ends at the
// next double quote that is not doubled, and the separator (or the end of the line) must follow.
Split split(const QByteArray& text, char separator, bool quotes)
{
    Split s;
    const qsizetype n = text.size();
    qsizetype j = 0;
    for (;;) {
        QByteArray field;
        if (quotes && j < n && text[j] == '"') {
            const std::optional<QuotedField> q = quoted_field(text, j);
            if (!q) {
                s.problem = Problem::OpenQuote;
                return s;
            }
            s.quoted = true;
            field = q->value;
            j = q->next;
            if (j < n && text[j] != separator) {
                s.problem = Problem::TextAfterQuote;
                return s;
            }
        } else {
            qsizetype end = text.indexOf(separator, j);
            if (end < 0)
                end = n;
            field = text.mid(j, end - j);
            j = end;
        }
        s.fields << field;
        if (j >= n)
            break;
        ++j; // over the separator
    }
    if (s.fields.size() < fields_read)
        s.problem = Problem::TooFewFields;
    return s;
}

// How often c stands outside double quotes.
int outside_quotes(const QByteArray& text, char c)
{
    int count = 0;
    bool inside = false;
    for (const char ch : text) {
        if (ch == '"')
            inside = !inside;
        else if (!inside && ch == c)
            ++count;
    }
    return count;
}

bool blank(const QByteArray& text)
{
    for (const char c : text) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

bool valid_utf8(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(bytes);
    return !utf8.hasError();
}

bool has_high_byte(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) > 0x7F)
            return true;
    }
    return false;
}

// How the bytes of a file stand for characters.
enum class Text
{
    Latin1,
    Utf8,
    Windows1252,
};

QString decode(const QByteArray& bytes, Text text)
{
    if (text == Text::Utf8)
        return QString::fromUtf8(bytes);
    QString s = QString::fromLatin1(bytes);
    if (text == Text::Windows1252) {
        for (QChar& c : s) {
            if (c.unicode() >= 0x80 && c.unicode() <= 0x9F) {
                const char16_t w = windows_1252[c.unicode() - 0x80];
                c = w ? QChar(w) : QChar(QChar::ReplacementCharacter);
            }
        }
    }
    return s;
}

// A field as the 8-bit text the box takes: one "?" for each character outside ISO 8859-1 (and, with
// no_cr, for a CR). Returns the text as the file spelled it when that happened.
QString to_8bit(QByteArray& field, Text text, bool no_cr)
{
    const QString spelled = decode(field, text);
    QByteArray out;
    bool lost = false;
    const QList<uint> points = spelled.toUcs4();
    for (const uint c : points) {
        if (c > 0xFF || (no_cr && c == '\r')) {
            out += '?';
            lost = true;
        } else {
            out += char(c);
        }
    }
    field = out;
    return lost ? spelled : QString();
}

// A header's number fields: each holds a letter and no digit.
bool header_fields(const QList<QByteArray>& fields)
{
    if (fields.size() < fields_read)
        return false;
    for (int f = 1; f < fields_read; ++f) {
        const QString text =
            valid_utf8(fields[f]) ? QString::fromUtf8(fields[f]) : QString::fromLatin1(fields[f]);
        bool letter = false;
        for (const QChar c : text) {
            if (c.isDigit())
                return false;
            letter = letter || c.isLetter();
        }
        if (!letter)
            return false;
    }
    return true;
}

bool header_line(const QByteArray& text, char separator)
{
    const Split s = split(text, separator, true);
    return s.problem == Problem::None && header_fields(s.fields);
}

struct RawLine
{
    QByteArray text;
    int number = 0;
    bool cut = false;
    LineReader::End end = LineReader::End::None;
};

struct RawLines
{
    QList<RawLine> lines;
    int more = 0; // lines with text after those kept
    bool failed = false;
};

// The lines of the text: as many as can make 99 rows after a header, then only a count of the further
// lines with text in them.
RawLines collect(QIODevice& device, bool cr_ends, const std::function<void(const QByteArray&)>& tap)
{
    RawLines raw;
    LineReader reader(device, max_line_length);
    reader.set_cr_ends(cr_ends);
    if (tap)
        reader.set_tap(tap);
    QByteArray line;
    while (reader.next(line)) {
        // A zero byte ends the line, as it ends the text of a line buffer.
        const qsizetype nul = line.indexOf('\0');
        if (nul >= 0)
            line.truncate(nul);
        if (raw.lines.size() <= max_lines)
            raw.lines << RawLine{line, reader.lines_read(), reader.truncated(), reader.end()};
        else if (!blank(line))
            ++raw.more;
    }
    raw.failed = reader.failed();
    return raw;
}

// The tool writes exactly this: every line four fields each followed by a comma, and CR LF. Such a file
// is read as it always was, so that what the tool saved reads back unchanged.
bool tool_written(const QList<RawLine>& lines)
{
    for (const RawLine& l : lines) {
        if (l.end != LineReader::End::CrLf || l.cut || l.text.count(',') != fields_read ||
            !l.text.endsWith(','))
            return false;
    }
    return true;
}

// The file as a whole: how its lines are to be read.
struct Judgement
{
    bool own = false;
    bool tool = false;
    char separator = ',';
    Text text = Text::Latin1;
    unsigned form = Own;
};

Judgement judge(const QList<RawLine>& lines, bool header, bool marked, bool utf16, bool cr_ends)
{
    Judgement j;
    QList<QByteArray> texts;
    for (qsizetype i = header ? 1 : 0; i < lines.size(); ++i) {
        if (!lines[i].text.isEmpty())
            texts << lines[i].text;
    }
    // The tool ends every field with a comma; spreadsheets end the line after the last field.
    j.own = !marked && !utf16 && !texts.isEmpty() &&
            std::all_of(texts.begin(), texts.end(), [](const QByteArray& t) { return t.endsWith(','); });
    j.tool = j.own && !header && tool_written(lines);
    if (!j.own && !texts.isEmpty()) {
        const auto every = [&texts](char c) {
            return std::all_of(texts.begin(), texts.end(),
                               [c](const QByteArray& t) { return outside_quotes(t, c) >= fields_read - 1; });
        };
        if (every(';')) {
            j.separator = ';';
        } else if (every('\t')) {
            j.separator = '\t';
        } else {
            // The separator that makes four fields of the most lines: the lines that do not read name
            // themselves.
            int best = -1;
            for (const char c : {',', ';', '\t'}) {
                const auto reads = std::count_if(texts.begin(), texts.end(), [c](const QByteArray& t) {
                    return split(t, c, true).problem == Problem::None;
                });
                if (int(reads) > best) {
                    best = int(reads);
                    j.separator = c;
                }
            }
        }
    }
    bool high = false;
    bool valid = true;
    bool c1 = false;
    for (const RawLine& l : lines) {
        high = high || has_high_byte(l.text);
        valid = valid && valid_utf8(l.text);
        for (const char c : l.text)
            c1 = c1 || (static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) <= 0x9F);
    }
    if (marked || utf16)
        j.text = Text::Utf8;
    else if (!j.tool && high && valid)
        j.text = Text::Utf8;
    else if (!j.tool && c1)
        j.text = Text::Windows1252;
    j.form = (j.separator == ';' ? Semicolons : Own) | (j.separator == '\t' ? Tabs : Own) |
             (utf16    ? Utf16
              : marked ? ByteOrderMark
                       : Own) |
             (!marked && !utf16 && j.text == Text::Utf8 ? Utf8 : Own) |
             (j.text == Text::Windows1252 ? Windows1252 : Own) | (cr_ends ? CrLineEnds : Own);
    return j;
}

// A line in the tool's own form, read as it always was; but a name that begins with a double quote and
// needs its quotes (it holds a comma or a doubled quote, as Python's csv module writes it) is taken as a
// quoted field.
Split own_fields(const QByteArray& text)
{
    if (text.startsWith('"')) {
        const std::optional<QuotedField> q = quoted_field(text, 0);
        if (q && q->needed && q->next < text.size() && text[q->next] == ',') {
            Split rest = split(text.mid(q->next + 1), ',', false);
            rest.fields.prepend(q->value);
            rest.quoted = true;
            rest.problem = rest.fields.size() < fields_read ? Problem::TooFewFields : Problem::None;
            return rest;
        }
    }
    return split(text, ',', false);
}

} // namespace

std::optional<QByteArray> plain_number(const QByteArray& field, bool decimal_comma)
{
    const QByteArray t = field.trimmed();
    qsizetype j = 0;
    QByteArray out;
    if (j < t.size() && (t[j] == '-' || t[j] == '+')) {
        if (t[j] == '-')
            out += '-';
        ++j;
    }
    const qsizetype digits = j;
    while (j < t.size() && t[j] >= '0' && t[j] <= '9')
        out += t[j++];
    if (j == digits)
        return t.isEmpty() ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    if (j < t.size() && (t[j] == '.' || (decimal_comma && t[j] == ','))) {
        ++j;
        const qsizetype zeros = j;
        while (j < t.size() && t[j] == '0')
            ++j;
        if (j == zeros)
            return std::nullopt;
    }
    if (j != t.size())
        return std::nullopt;
    return out;
}

QString printable(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\r')
            out += QLatin1String("\\r");
        else if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\t')
            out += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

SatelliteCells cells(const Line& line)
{
    SatelliteCells c;
    c.name = QString::fromLatin1(line.fields.value(0).left(satellite_record::name_length));
    c.position = QString::number(number_field<std::int16_t>(line.fields.value(1)));
    c.vertical = QString::number(number_field<std::int8_t>(line.fields.value(2)));
    c.horizontal = QString::number(number_field<std::int8_t>(line.fields.value(3)));
    return c;
}

QByteArray format_line(const SatelliteCells& cells, bool* replaced, bool first_line)
{
    QByteArray line;
    bool any = false;
    const QByteArray marks[] = {QByteArray(utf8_mark), QByteArray("\xFF\xFE"), QByteArray("\xFE\xFF")};
    QList<QByteArray> texts;
    for (const QString* cell : {&cells.name, &cells.position, &cells.vertical, &cells.horizontal}) {
        QByteArray text = satellite_record::to_8bit(*cell);
        for (const char c : {',', '\r', '\n', '\0'}) {
            if (text.contains(c)) {
                text.replace(c, '?');
                any = true;
            }
        }
        texts << text;
    }
    if (first_line) {
        for (const QByteArray& mark : marks) {
            if (texts[0].startsWith(mark)) {
                texts[0][0] = '?';
                any = true;
            }
        }
        if (header_fields(texts))
            texts[1].prepend('0');
    }
    if (texts[0].startsWith('"'))
        texts[0] = '"' + texts[0].replace("\"", "\"\"") + '"';
    for (const QByteArray& text : texts)
        line += text + ',';
    if (replaced)
        *replaced = any;
    return line + "\r\n";
}

bool Reader::open(const QString& path)
{
    file.setFileName(path);
    return open_input(file);
}

Table Reader::read(Digest* digest)
{
    const auto tap = [digest](const QByteArray& chunk) {
        digest->sha256.addData(chunk);
        digest->size += chunk.size();
    };
    const QByteArray head = file.peek(chunk_size);
    const bool utf16 = head.startsWith("\xFF\xFE") || head.startsWith("\xFE\xFF");
    RawLines raw;
    bool cr_ends = false;
    if (utf16) {
        // Excel's "Unicode Text": read whole into UTF-8 text (the byte-order mark is taken off).
        QStringDecoder decoder(head.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE
                                                           : QStringDecoder::Utf16BE);
        QByteArray text;
        for (;;) {
            const QByteArray chunk = file.read(chunk_size);
            if (chunk.isEmpty())
                break;
            if (digest)
                tap(chunk);
            if (text.size() < utf16_text_limit)
                text += QString(decoder.decode(chunk)).toUtf8();
        }
        const bool failed = !file.atEnd();
        QBuffer buffer(&text);
        buffer.open(QIODevice::ReadOnly);
        const QByteArray text_head = text.left(chunk_size);
        cr_ends = !text_head.contains('\n') && text_head.contains('\r');
        raw = collect(buffer, cr_ends, {});
        raw.failed = failed;
    } else {
        // A file without LF whose lines end with CR alone (spreadsheets' "Macintosh" CSV).
        cr_ends = !head.contains('\n') && head.contains('\r');
        raw = collect(file, cr_ends, digest ? std::function<void(const QByteArray&)>(tap) : nullptr);
    }
    if (digest)
        digest->complete = !raw.failed && file.atEnd();

    QList<RawLine>& lines = raw.lines;
    // Blank lines after the last row end the file.
    if (raw.more == 0) {
        while (!lines.isEmpty() && blank(lines.last().text))
            lines.removeLast();
    }
    const bool marked = !utf16 && !lines.isEmpty() && lines[0].text.startsWith(utf8_mark);
    if (marked)
        lines[0].text.remove(0, 3);

    // A first line that would be a header under any separator is left out of the judgement of the form.
    constexpr char separators[] = {',', ';', '\t'};
    const bool header_candidate =
        !lines.isEmpty() && std::any_of(std::begin(separators), std::end(separators),
                                        [&lines](char c) { return header_line(lines[0].text, c); });
    Judgement j = judge(lines, header_candidate, marked, utf16, cr_ends);
    const bool header = header_candidate && header_line(lines[0].text, j.separator);
    if (header_candidate && !header)
        j = judge(lines, false, marked, utf16, cr_ends);

    Table table;
    const auto refuse = [&table](const RawLine& l, Problem problem) {
        table.lines.clear();
        table.refused_line = l.number;
        table.problem = problem;
        return table;
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const RawLine& raw_line = lines[i];
        if (i == 0 && header) {
            table.header = decode(raw_line.text, j.text);
            continue;
        }
        if (table.lines.size() == max_lines) {
            table.rows_beyond += blank(raw_line.text) ? 0 : 1;
            continue;
        }
        const QByteArray& text = raw_line.text;
        Split s = j.own ? own_fields(text) : split(text, j.separator, true);
        if (s.problem != Problem::None)
            return refuse(raw_line, raw_line.cut ? Problem::LongLine : s.problem);
        // "A;B;C;D,E": a ";" line or a "," line, and the other lines do not tell.
        if (!j.own && j.separator == ',' && outside_quotes(text, ';') >= fields_read - 1)
            return refuse(raw_line, Problem::Ambiguous);
        Line l;
        l.number = raw_line.number;
        l.cut = raw_line.cut;
        l.form = j.form | (s.quoted ? Quoted : Own);
        // In the tool's own form a number is read as it always was (sat-check and the window name one that
        // is not a plain number); elsewhere it must be one.
        for (int f = 1; f < fields_read && !j.own; ++f) {
            const std::optional<QByteArray> plain = plain_number(s.fields[f], j.separator == ';');
            if (!plain) {
                Table refused = refuse(raw_line, Problem::NotANumber);
                refused.refused_field = f;
                refused.refused_text = decode(s.fields[f], j.text);
                return refused;
            } else {
                s.fields[f] = *plain;
            }
        }
        // A CR is no character of a name: one that stands in a quoted field is sent as "?" (the tool never
        // writes one there, nor a name in quotes that holds one).
        if (!j.tool || s.quoted)
            l.lost_name = to_8bit(s.fields[0], j.text, !j.own || s.quoted);
        l.fields = s.fields;
        table.lines << l;
    }
    table.rows_beyond += raw.more;
    return table;
}

bool Writer::open(const QString& path)
{
    return file.open(path);
}

void Writer::write_row(const SatelliteCells& cells)
{
    bool replaced_here = false;
    file.write(format_line(cells, &replaced_here, rows == 0));
    ++rows;
    if (replaced_here)
        replaced << rows;
}

bool Writer::commit()
{
    return file.commit();
}

} // namespace satellite_csv
