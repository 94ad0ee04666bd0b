#pragma once

#include <cstdint>

// The stages and outcomes that the engine reports with entDLFileStatus.
namespace download::DLStatus {
inline constexpr std::int32_t Connecting = 1;
inline constexpr std::int32_t SendingRequest = 2;
inline constexpr std::int32_t QueryingInfo = 3;
inline constexpr std::int32_t Downloading = 4;
inline constexpr std::int32_t Stopped = 5;
inline constexpr std::int32_t Finished = 6;
inline constexpr std::int32_t ConnectFailed = 7;
inline constexpr std::int32_t RequestFailed = 8;
inline constexpr std::int32_t TransferEnded = 9;
} // namespace download::DLStatus
