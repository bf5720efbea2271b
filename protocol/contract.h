#pragma once

// The names the plug-in and its three executables agree on: the transcoder's
// own options and the files and the pipe they share in the user's private
// folder. Each message has its writer and its reader beside each other in
// this folder (transcoder.h, repair.h); nothing else spells them.

namespace protocol {

// Options of the transcoder's own, before the output: a capture cut into
// files of this many seconds on key frames, and the number of the first file
// it writes (1, the default, is the output's own name; n is "name_n"). The
// output is always named as the capture's first file: the number is applied
// by the transcoder alone.
inline constexpr char segment_option[] = "-zo_segment";
inline constexpr char file_number_option[] = "-zo_file_number";
// A push of a whole play list over one connection (the option before the
// output; the first entry is the input); the entry records of transcoder.h.
inline constexpr char list_option[] = "-zo_list";

// In the private folder: the capture's stop request (only its presence
// counts), the repair job and the pipe the repair engine reports over.
inline constexpr char stop_file[] = "zo_ff_et.cfg";
inline constexpr char job_file[] = "mp4.rp";
inline constexpr char pipe_name[] = "tarvo_mfix";
inline constexpr unsigned pipe_buffer = 4096;

} // namespace protocol
