#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ffexe {

// FLV as the list push passes it on: the file header, then tags, each an
// 11-byte head (type, data size, time), its data and the size of the tag.
// Fields are big-endian, most of them three bytes long.
namespace flv {

constexpr size_t k_file_header = 13; // "FLV", version, flags, header size, the first zero back-pointer
constexpr size_t k_tag_head = 11;
constexpr int k_sound = 8, k_picture = 9, k_script = 18;

// Whole tags out of bytes split anywhere.
class TagReader
{
public:
    // The tags that the bytes so far complete.
    std::vector<std::string> feed(const char* data, size_t size);

private:
    std::string m_partial;
};

int type(const std::string& tag);
// A tag's time in milliseconds: three bytes and an extension byte for the highest.
long long time(const std::string& tag);
void set_time(std::string& tag, long long ms);
// The composition time of an H.264 or HEVC picture (shown minus decoded); 0 for others.
long long composition(const std::string& tag);
void set_composition(std::string& tag, long long value);

enum class Kind { Picture, Sound, Other };
// Sequence headers, script data and command frames carry no time of their own: Other.
Kind kind(const std::string& tag);

} // namespace flv

// Takes the FLV file header off an entry's bytes, however they are split;
// the first entry's is passed on whole once it has come.
class HeaderCut
{
public:
    explicit HeaderCut(bool keep)
        : m_keep(keep)
    {}
    // The bytes to pass on.
    std::string feed(const char* data, size_t size);
    // Something past the header came.
    bool body_seen() const { return m_body; }
    // Whether the header's flags say the entry has sound; nothing until they have come.
    std::optional<bool> has_sound() const;

private:
    bool m_keep;
    std::string m_header;
    bool m_body = false;
};

} // namespace ffexe
