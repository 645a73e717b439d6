// The parameter file that changes an encoding's settings at given frames:
// lines of a key and a number ("frame 120", "palet_limit 48"). vendrel reads
// it (encoder/driver/streaminfo) and vendrel-prep writes it.
#pragma once

inline constexpr const char* PARAM_FRAME = "frame";  // the lines that follow apply from this frame on
inline constexpr const char* PARAM_VIDEO_SKIP = "video_skip";
inline constexpr const char* PARAM_PALET_LIMIT = "palet_limit";
inline constexpr const char* PARAM_PALET_LOCK = "palet_lock";
inline constexpr const char* PARAM_VIDEO_INTERVAL = "video_interval";
inline constexpr const char* PARAM_AUDIO_FADER = "audio_fader";
inline constexpr const char* PARAM_AUDIO_PLAY = "audio_play";
inline constexpr const char* PARAM_PALET_FLASH = "palet_flash";
inline constexpr const char* PARAM_SIGNAL = "signal";
