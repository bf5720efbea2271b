#pragma once

#include <string>

namespace protocol {

// The user's own temporary folder: $XDG_RUNTIME_DIR/davaz when that is set,
// else davaz-<uid> in the system's temporary folder ($TMPDIR, else /tmp).
// Fixed names in a folder every account can write would let another account
// plant a link, leave a job or a stop request, or take the pipe's name; so the
// folder is made with mode 0700 and refused when it is a link, not a folder,
// or another account's. When davaz-<uid> in the shared folder is held that
// way, the same folder in the user's own cache takes its place
// ($XDG_CACHE_HOME/davaz/run, else ~/.cache/davaz/run): every side finds the
// same one, and each process says once, on standard error, why.
struct TempFolder
{
    enum Problem { None, CannotCreate, Link, NotFolder, OtherOwner };

    std::string path;
    Problem problem = None;
    int error = 0;          // errno of CannotCreate
    std::string instead_of; // why the cache folder is used; empty when it is not

    bool usable() const { return problem == None; }
    // One line for a log, naming the folder and what is wrong with it.
    std::string message() const;
};

// Finds the folder and makes it when it is missing; every call looks again,
// so a folder removed meanwhile comes back.
TempFolder temp_folder();

// The path of `name` in the temporary folder; empty when the folder is
// refused, with the reason in `why` when given.
std::string temp_path(const char* name, std::string* why = nullptr);

} // namespace protocol
