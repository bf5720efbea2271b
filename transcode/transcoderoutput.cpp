#include "transcoderoutput.h"

#include "platform/contract.h"
#include "transcode/localfiles.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QProcess>
#include <QTime>
#include <QVarLengthArray>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale.h>

namespace {

// sscanf reads "%f" by LC_NUMERIC, which QCoreApplication takes from the user's
// environment; the transcoder always writes a decimal point, so scan in "C".
class CNumericLocale
{
public:
    CNumericLocale()
    {
        static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
        if (cLocale)
            m_previous = uselocale(cLocale);
    }
    ~CNumericLocale()
    {
        if (m_previous)
            uselocale(m_previous);
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t m_previous = locale_t(nullptr);
};

bool debug_enabled()
{
    const QLoggingCategory* category = QLoggingCategory::defaultCategory();
    return category && category->isDebugEnabled();
}

} // namespace

QByteArray chunk_text(const QByteArray& chunk)
{
    const int zero = chunk.indexOf('\0');
    return zero < 0 ? chunk : chunk.left(zero);
}

QByteArray take_chunk_text(QProcess& process)
{
    const QByteArray chunk = process.readAllStandardOutput();
    qDebug().noquote().nospace() << '"' << QString::fromUtf8(chunk) << '"';
    return chunk_text(chunk);
}

ChunkClass classify_chunk(const QByteArray& text, const QList<QByteArray>& phrases)
{
    if (text.startsWith(contract::progress_marker))
        return {ChunkKind::Progress, -1};
    for (int i = 0; i < phrases.size(); ++i) {
        if (text.contains(phrases.at(i)))
            return {ChunkKind::ErrorPhrase, i};
    }
    if (text.contains(contract::finish_marker))
        return {ChunkKind::Finished, -1};
    return {};
}

int scan_progress_record(const QByteArray& text, ProgressFields& fields)
{
    // The pieces are scanned as UTF-8 text; only malformed bytes change here.
    const QByteArray utf8 = text.isValidUtf8() ? text : QString::fromUtf8(text).toUtf8();
    const char separator = contract::record_separator;
    const int pieces = int(std::count(utf8.cbegin(), utf8.cend(), separator)) + 1;
    if (pieces < 3)
        return pieces;

    const qsizetype first = utf8.indexOf(separator);
    const qsizetype second = utf8.indexOf(separator, first + 1);
    qsizetype third = utf8.indexOf(separator, second + 1);
    if (third < 0)
        third = utf8.size();

    // Zero-terminated copies for sscanf; records are short, so they stay on the stack.
    QVarLengthArray<char, 128> counters(second - first);
    const char* data = utf8.constData();
    char* out = counters.data();
    for (qsizetype i = first + 1; i < second; ++i) {
        if (data[i] != ' ')
            *out++ = data[i];
    }
    *out = '\0';
    QVarLengthArray<char, 128> timing(utf8.constData() + second + 1, utf8.constData() + third);
    timing.append('\0');

    // Unmatched conversions leave their targets alone, so each field keeps
    // its previous value.
    int frame = fields.frame;
    float fps = fields.fps;
    int64_t size = fields.size;
    float bitrate = fields.bitrate;
    {
        CNumericLocale numeric;
        std::sscanf(counters.constData(), contract::counters_scan, &frame, &fps, &size);
        std::sscanf(timing.constData(), contract::timing_scan, fields.time, &bitrate);
    }
    fields.frame = frame;
    fields.fps = fps;
    fields.size = size;
    fields.bitrate = bitrate;

    if (debug_enabled()) {
        qDebug("%d %g %s \"%s\" %g", fields.frame, double(fields.fps), QByteArray::number(fields.size).constData(),
               fields.time, double(fields.bitrate));
    }
    return pieces;
}

std::optional<qint64> position_seconds(const char* timeText)
{
    const QTime time = QTime::fromString(QString::fromUtf8(timeText), QStringLiteral("hh:mm:ss.z"));
    if (!time.isValid())
        return std::nullopt;
    // The fraction is dropped, never rounded into the seconds.
    return qint64(time.hour()) * 3600 + time.minute() * 60 + time.second();
}

std::optional<qint64> position_ms(const char* timeText)
{
    const QTime time = QTime::fromString(QString::fromUtf8(timeText), QStringLiteral("hh:mm:ss.z"));
    if (!time.isValid())
        return std::nullopt;
    return qint64(time.msecsSinceStartOfDay());
}

QString transcoder_path()
{
    return tool_path("FFmpeg.exe");
}
