#include "face.h"

#include "conversionplan.h"
#include "plainrun.h"
#include "relayrun.h"

namespace ffexe {

bool needs_media(const std::vector<std::string>& args, long long timeout_us)
{
    return protocol::read_push(args) || read_conversion(args) ||
           !build_invocation(args, timeout_us).hls_playlist.empty();
}

std::unique_ptr<Face> stream_face(std::string program, const std::vector<std::string>& args, long long timeout_us,
                                  Invocation invocation, PlaylistCheck playlist_check)
{
    if (invocation.relayed())
        return std::make_unique<RelayRun>(std::move(program), args, timeout_us, std::move(invocation));
    return std::make_unique<PlainRun>(std::move(program), std::move(invocation), playlist_check);
}

} // namespace ffexe
