#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// What fault tables share: a run without the transcoder, small or read-only
// disks, and a record of the user's files.
namespace faults {

// True in a copy of this test made by run_row_in_copy().
bool in_copy();
// Runs the current row in a copy of this test, placed in a folder without
// FFmpeg.exe or Vidmend.exe beside it, and verifies that the row passed there.
void run_row_in_copy();

// A tmpfs mounted over a folder ("size=256k" fills up, "ro" takes nothing)
// and unmounted when it goes.
class Disk
{
public:
    Disk() = default;
    ~Disk() { unmount(); }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;
    // False where mounting is not allowed.
    bool mount(const QString& folder, const QString& options);
    void unmount();

private:
    QString m_folder;
};

// Every file under the folders with a hash of its bytes.
using Files = QMap<QString, QByteArray>;
Files files(const QStringList& folders);
// Files of `before` now gone or changed, leaving out the tool's own outputs.
QStringList touched(const Files& before, const QStringList& outputs);

// Sends SIGKILL to the processes whose command line holds `needle`; how many.
int kill_matching(const QString& needle);

} // namespace faults
