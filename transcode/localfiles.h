#pragma once

#include <QString>

// A file of the user's private temporary folder, which the plug-in shares
// with its executables.
struct TempFile
{
    QString path;    // empty when the folder is refused
    QString problem; // why, as a user text; empty when the folder is usable
};

// `name` in the temporary folder, the folder made when it is missing.
TempFile temp_file(const char* name);
