// The test side of the control-bus client: in-process devices.
//
// A device named "inproc:NAME" is served by a handler registered under NAME. Every frame
// written to a handle of that device is handed to the handler at once; a reply it returns
// is queued on the handle with the id of the request, which is signalled while a reply is
// queued, so the transport's wait and read work on it as on a socket: a read takes only the
// reply to the request written last.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zcl {

using Frame = std::vector<std::uint8_t>;
// Request frame in; the reply frame, or nothing when the device stays silent.
using Handler = std::function<std::optional<Frame>(std::span<const std::uint8_t> request)>;

// Registers (or replaces) the handler of "inproc:NAME". Handles opened before a
// replacement keep the handler they were opened with.
void register_inproc(const std::string& name, Handler handler);
void unregister_inproc(const std::string& name);
// Handles of "inproc:NAME" opened from now on queue every reply copies times (1 to 8), as a
// device that answers twice would.
void set_inproc_copies(const std::string& name, unsigned copies);

// Datagrams and queued replies that were not the reply to the outstanding request (late,
// repeated, damaged, without the envelope) and were dropped by a read (all handles, since start).
unsigned long dropped_frames();
// How long a read on a socket waits, from the write of the request, for its reply when only
// other datagrams came (30 s; a test shortens it).
void set_reply_wait(std::chrono::milliseconds wait);
// Frames written to and read from a device whole (all handles, since start).
unsigned long frames_sent();
unsigned long frames_received();

// Largest frame a device carries either way: a loopback UDP datagram less the envelope.
constexpr int kMaxFrame = 65507 - 16;

}  // namespace zcl
