#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The one place that knows the plug-in runs on Linux.
namespace platform {

// Opens a folder with the desktop's default handler.
bool open_folder(const QString& path);

// Shows a file selected in the desktop's file manager, or opens its folder.
// A path too long for the platform is refused.
bool show_in_file_manager(const QString& path);

// Starts a program detached: no window of ours, no handle kept.
bool start_detached(const QString& program, const QStringList& arguments = {});

void sleep_ms(unsigned long ms);

// Bytes an ordinary program may still write on the file system that holds
// `folder`; -1 when that cannot be told (no such folder, say).
qint64 free_bytes(const QString& folder);

} // namespace platform
