#pragma once

#include <string>

// What the repair window and the repair engine tell each other: the job the
// window writes for the engine, the engine's progress reports over the pipe
// and the window's replies. Each with its writer beside its reader.
namespace protocol {

// The job: four lines, reference, damaged file, frame rate, output.
struct RepairJob
{
    std::string reference;
    std::string damaged;
    std::string output;
    int fps = 0; // the reference's rounded frame rate as the window probed it; 0 if unknown
};
std::string write_job(const RepairJob& job);
// Lines end in LF or CR LF. A frame rate outside 1..999 reads as 0.
bool read_job(const std::string& text, RepairJob& job, std::string& error);
// The job file at `path`; false when it cannot be written.
bool write_job_file(const std::string& path, const RepairJob& job);
// An empty path stands for a refused private folder, whose reason goes to `error`.
bool read_job_file(const std::string& path, RepairJob& job, std::string& error);

// A progress report, "WORD PROGRESS TOTAL STATE". The state is one word of at
// most 63 bytes; a field the text does not reach stays 0 or empty.
struct RepairReport
{
    int pro = 0;
    int total = 0;
    std::string state;
};
std::string write_repair_report(int progress, int total, const std::string& state);
// Any local program may write to the window's pipe: `data` need not be
// terminated and may be null.
RepairReport read_repair_report(const char* data, int len);

// The window's replies: go on, or the user has ended the job.
inline constexpr char reply_ok[] = "OK";
inline constexpr char reply_end[] = "pro_end";
bool reply_ends_job(const std::string& reply);

// The state word of the engine's last report, by its exit code: "done" for 0,
// else a Chinese word that the window shows in its own language:
// "修复失败:REASON", "无需修复:REASON" or "已停止". Each is one word (reports
// are split at spaces) within 63 bytes. A code without a word of its own
// gives repair_failed.
const char* repair_end_word(int exit_code);
inline constexpr int repair_end_words = 13; // the codes with a word of their own: 0 to 12
// What a failure's word and a needless repair's word begin with.
extern const char repair_failed[];
extern const char repair_not_needed[];

// The engine's side of the repair pipe: one connection per report, as the
// window drops a client after each reply. False, with nothing in `reply`,
// when no window listens or the exchange fails.
bool send_repair_report(int progress, int total, const std::string& state, std::string& reply);

} // namespace protocol
