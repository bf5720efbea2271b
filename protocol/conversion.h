#pragma once

#include <optional>
#include <string>
#include <vector>

// What the conversion window and its transcoder say to each other beyond the
// progress records: the request for a lossless conversion on the command
// line, and the note the transcoder leaves, in the private folder, when it
// could not make a file, for the player to tell the user why.
namespace protocol {

// The arguments asking to copy the streams that already fit the output's
// container; they go right before the output.
std::vector<std::string> copy_request();
// Takes the request out of `args` when it stands before the last argument;
// true when it did.
bool take_copy_request(std::vector<std::string>& args);

// Failure note: one per output path, holding the path and one line of why
// (cut at its first line break). Written when a conversion fails, removed
// when one to the same path succeeds. False when the private folder is refused
// or the note cannot be written.
bool write_failure_note(const std::string& output, const std::string& why);
// Why the conversion to `output` failed; nothing when no note names it.
std::optional<std::string> read_failure_note(const std::string& output);
void remove_failure_note(const std::string& output);

} // namespace protocol
