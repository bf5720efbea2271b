#pragma once

// The names the plug-in and its three executables agree on: the files and
// the pipe they share in the user's private folder. Each message has its
// writer and its reader beside each other in this folder (command.h,
// transcoder.h, repair.h); nothing else spells them.

namespace protocol {

// In the private folder: the capture's stop request (only its presence
// counts), the repair job and the pipe the repair engine reports over.
inline constexpr char stop_file[] = "zo_ff_et.cfg";
inline constexpr char job_file[] = "mp4.rp";
inline constexpr char pipe_name[] = "tarvo_mfix";
inline constexpr unsigned pipe_buffer = 4096;

} // namespace protocol
