#include "repair.h"

#include "contract.h"
#include "localsocket.h"
#include "privatefolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace protocol {

namespace {

constexpr char report_word[] = "vidmend";

// Marks the words for the repair window's catalogue, whose tool reads them
// here; this library has no Qt.
#define QT_TRANSLATE_NOOP(context, text) text

const char* const end_words[] = {
    "done",
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
static_assert(sizeof end_words / sizeof end_words[0] == repair_end_words, "one word per exit code");

} // namespace

const char repair_failed[] = QT_TRANSLATE_NOOP("RepairEngine", "修复失败");
const char repair_not_needed[] = QT_TRANSLATE_NOOP("RepairEngine", "无需修复");

const char* repair_end_word(int exit_code)
{
    return exit_code >= 0 && exit_code < repair_end_words ? end_words[exit_code] : repair_failed;
}

std::string write_job(const RepairJob& job)
{
    return job.reference + "\n" + job.damaged + "\n" + std::to_string(job.fps) + "\n" + job.output + "\n";
}

bool read_job(const std::string& text, RepairJob& job, std::string& error)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; lines.size() < 4 && std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    if (lines.size() < 4 || lines[0].empty() || lines[1].empty() || lines[3].empty()) {
        error = "the job file needs four lines: reference, damaged file, frame rate, output";
        return false;
    }
    job.reference = lines[0];
    job.damaged = lines[1];
    char* end = nullptr;
    const long fps = std::strtol(lines[2].c_str(), &end, 10);
    job.fps = end != lines[2].c_str() && fps > 0 && fps < 1000 ? int(fps) : 0;
    job.output = lines[3];
    return true;
}

bool write_job_file(const std::string& path, const RepairJob& job)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    const std::string text = write_job(job);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

bool read_job_file(const std::string& path, RepairJob& job, std::string& error)
{
    if (path.empty()) {
        error = temp_folder().message();
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the job file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return read_job(text.str(), job, error);
}

std::string write_repair_report(int progress, int total, const std::string& state)
{
    char message[160];
    std::snprintf(message, sizeof message, "%s %d %d %.63s", report_word, progress, total, state.c_str());
    return message;
}

RepairReport read_repair_report(const char* data, int len)
{
    // A private terminated copy, and a buffer that bounds every word.
    const std::string text(data ? data : "", data && len > 0 ? static_cast<std::size_t>(len) : 0);
    char word[64] = {};
    char state[64] = {};
    RepairReport report;
    std::sscanf(text.c_str(), "%63s %d %d %63s", word, &report.pro, &report.total, state);
    report.state = state;
    return report;
}

bool reply_ends_job(const std::string& reply)
{
    return reply.compare(0, sizeof reply_end - 1, reply_end) == 0;
}

bool send_repair_report(int progress, int total, const std::string& state, std::string& reply)
{
    const std::string path = temp_path(pipe_name);
    const int fd = path.empty() ? -1 : localsocket::connect_to(path.c_str());
    if (fd < 0)
        return false;
    // A message is cut to the window's buffer with room for its terminator, as any client's is.
    std::string message = write_repair_report(progress, total, state);
    message.resize(std::min<std::size_t>(message.size(), pipe_buffer - 1));
    const bool done = localsocket::exchange(fd, message, pipe_buffer, reply) == localsocket::Exchange::Done;
    localsocket::close(fd);
    return done;
}

} // namespace protocol
