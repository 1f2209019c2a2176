// Names and byte layout of the frame channels, and the heartbeat file beside
// them, which clients and the host service share.
//
// Every stream index has three channels. Integers inside a channel are 4 bytes,
// little-endian, at the offsets below:
//
//   input   (host -> client)  size word @0, ready flag @4, payload @8
//   display (client -> host)  size word @0, payload @4
//   push    (client -> host)  size word @0, reserved @4, payload @8
//
// How host and client hand frames over through these words: channels.md beside this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace flumina::channels {

inline constexpr const char* kInputPrefix = "/tmp/mmkv/tmp_ipc_rtsp";
inline constexpr const char* kDisplayPrefix = "/tmp/mmkv/tmp_ipc_display_";
inline constexpr const char* kPushPrefix = "/tmp/mmkv/tmp_ipc_es_rtsp";

inline constexpr std::size_t kSizeWordOffset = 0;
inline constexpr std::size_t kReadyFlagOffset = 4;
inline constexpr std::size_t kInputPayloadOffset = 8;
inline constexpr std::size_t kDisplayPayloadOffset = 4;
inline constexpr std::size_t kPushPayloadOffset = 8;
inline constexpr std::size_t kHeaderBytes = 8;

// The largest frame a channel holds without being grown: 3840 x 2160, 3 bytes a pixel.
inline constexpr std::size_t kMaxDefaultFrameBytes = std::size_t{3840} * 2160 * 3;
inline constexpr std::size_t kDefaultCapacity = kHeaderBytes + kMaxDefaultFrameBytes;

// Folder of the channels and of the heartbeat file.
inline constexpr const char* kChannelDir = "/tmp/mmkv";
// Rewritten once a second by a live client with a counter (decimal text, no newline).
inline constexpr const char* kHeartbeatFile = "/tmp/mmkv/info.txt";

inline std::string inputChannelName(std::size_t index) { return kInputPrefix + std::to_string(index); }
inline std::string displayChannelName(std::size_t index) { return kDisplayPrefix + std::to_string(index); }
inline std::string pushChannelName(std::size_t index) { return kPushPrefix + std::to_string(index); }

}  // namespace flumina::channels
