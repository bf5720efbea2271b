#pragma once

#include <QString>

// Where the plug-in finds its three executables: the folder DAVAZ_TOOLS_DIR
// names when it is set (tests point it elsewhere), else the host's
// application folder; followed by "/" and `name`.
QString tool_path(const char* name);

// A file of the user's private temporary folder, which the plug-in shares
// with its executables.
struct TempFile
{
    QString path;    // empty when the folder is refused
    QString problem; // why, as a user text; empty when the folder is usable
};

// `name` in the temporary folder, the folder made when it is missing.
TempFile temp_file(const char* name);
