#include "face.h"

#include "conversion.h"
#include "fanoutpush.h"
#include "listpush.h"
#include "playlistend.h"

namespace ffexe {

std::unique_ptr<Face> face_for(std::string program, const std::vector<std::string>& args, long long timeout_us)
{
    if (std::optional<protocol::PushCommand> push = protocol::read_push(args)) {
        if (!push->list)
            return std::make_unique<FanOutPush>(std::move(*push), timeout_us);
        return std::make_unique<ListPush>(std::move(program), std::move(*push), timeout_us);
    }
    // A local file into one of the formats the conversion window offers.
    if (std::optional<ConversionRequest> request = read_conversion(args))
        return std::make_unique<Conversion>(std::move(program), std::move(*request), timeout_us);
    return stream_face(std::move(program), args, timeout_us, build_invocation(args, timeout_us), playlist_ended);
}

} // namespace ffexe
