#include "repairstate.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

// Every word the engine ends a repair with, as it sends it. A failure word is
// "修复失败:REASON" (or "无需修复:REASON"), the part before the colon saying
// how it ended.
const char* const kEngineWords[] = {
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:任务文件不完整或文件重复"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:无法读取文件或参考视频不完整"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:参考视频没有画面"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:损坏视频不是MP4文件"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:不支持该视频或音频编码"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:两个文件似乎放反了"),
    QT_TRANSLATE_NOOP("RepairEngine", "无需修复:损坏视频是完整的"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:没有找到可以恢复的画面"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:无法写入修复后的文件"),
    QT_TRANSLATE_NOOP("RepairEngine", "已停止"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:声音与参考视频的编码不同"),
    QT_TRANSLATE_NOOP("RepairEngine", "修复失败:参考视频与损坏视频的设置不同"),
};
const char* const kFailed = QT_TRANSLATE_NOOP("RepairEngine", "修复失败");
const char* const kNotNeeded = QT_TRANSLATE_NOOP("RepairEngine", "无需修复");

QString translate(const char* text)
{
    return QCoreApplication::translate("RepairEngine", text);
}

} // namespace

QString repair_state_text(const QString& word)
{
    const QByteArray utf8 = word.toUtf8();
    for (const char* known : kEngineWords) {
        if (utf8 == known)
            return translate(known);
    }
    // A word this window does not know yet: in Chinese it is shown as it
    // came; in another language only its "failed" or "not needed" part can be
    // told, never the Chinese reason.
    const bool translated = translate(kFailed) != QString::fromUtf8(kFailed);
    const bool ascii =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!translated || ascii)
        return word;
    return translate(word.startsWith(QString::fromUtf8(kNotNeeded)) ? kNotNeeded : kFailed);
}
