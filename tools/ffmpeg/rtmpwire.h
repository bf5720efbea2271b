#pragma once

#include "flvtags.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// rtmp as a publisher speaks it: addresses, chunks, AMF0 commands, and FLV
// tags turned into messages, each whole message made ready to go out in one write.
namespace ffexe::rtmp {

// Where an rtmp or rtmps address publishes.
struct Address
{
    bool tls = false;
    std::string host;
    int port = 0;
    std::string app;    // "app", or "app/instance"
    std::string stream; // the name or key, with its query: platforms' keys carry one
    std::string tc_url; // scheme://host[:port]/app
};
std::optional<Address> parse_address(const std::string& url);

enum MessageType : uint8_t {
    SetChunkSize = 1,
    Acknowledgement = 3,
    UserControl = 4,
    WindowAckSize = 5,
    Audio = 8,
    Video = 9,
    DataAmf0 = 18,
    CommandAmf0 = 20,
};

// Chunk streams, as publishers commonly use them.
enum ChunkStream : int { ControlStream = 2, CommandStream = 3, AudioStream = 4, VideoStream = 6, PublishStream = 8 };

// Appends one message to `out`, cut into chunks of at most `chunk_size` bytes.
void put_message(std::string& out, int chunk_stream, uint8_t type, uint32_t time_ms, uint32_t stream_id,
                 std::string_view body, size_t chunk_size);

// AMF0 values, appended to a command's body.
namespace amf {
void string(std::string& out, std::string_view text);
void number(std::string& out, double value);
void null(std::string& out);
void object_begin(std::string& out);
void key(std::string& out, std::string_view name);
void object_end(std::string& out);
} // namespace amf

struct Message
{
    uint8_t type = 0;
    uint32_t time_ms = 0;
    uint32_t stream_id = 0;
    std::string body;
};

// The messages a server sends, put together again from its chunks.
class ChunkReader
{
public:
    // Takes what was received; appends the messages it completes to `done`.
    // False when the bytes cannot be rtmp.
    bool feed(std::string_view bytes, std::vector<Message>& done);

private:
    struct Stream
    {
        uint32_t time = 0, delta = 0, length = 0, stream_id = 0;
        uint8_t type = 0;
        bool extended = false;
        std::string body;
    };
    // One chunk from the front of m_pending: 1 done, 0 more bytes needed, -1 malformed.
    int take_chunk(std::vector<Message>& done);

    std::map<uint32_t, Stream> m_streams;
    std::string m_pending;
    size_t m_chunk_size = 128;
};

// A command as a server sends it: its name and transaction, the numbers
// among its values, and every string field of its objects (a status's code, level, description).
struct Command
{
    std::string name;
    double transaction = 0;
    std::vector<double> numbers;
    std::map<std::string, std::string> fields;
};
std::optional<Command> read_command(std::string_view body);

// FLV tags after the file header, split anywhere, turned into the messages of
// stream `stream_id`; the stream's metadata goes as "@setDataFrame", as servers expect.
class FlvToRtmp
{
public:
    FlvToRtmp(uint32_t stream_id, size_t chunk_size)
        : m_stream_id(stream_id)
        , m_chunk_size(chunk_size)
    {}
    // Appends the messages of the tags `flv` completes to `out`.
    void feed(std::string_view flv, std::string& out);

private:
    uint32_t m_stream_id;
    size_t m_chunk_size;
    flv::TagReader m_tags;
};

} // namespace ffexe::rtmp
