// The calling application's side of the message buffer, and the memory service's counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ws {

// The sink that QVEEngPutMsgBuf hands every line to; its result is QVEEngPutMsgBuf's
// (0 = taken). No sink: lines are refused (non-zero).
using MessageSink = std::function<std::uint32_t(const char* line)>;
void set_message_sink(MessageSink sink);

// Words of the services that are no message-buffer line (a log that cannot be written, a
// malformed settings file met outside the save's steps): they go to this sink, never to the
// process's stderr. No sink: they are dropped.
using NoteSink = std::function<void(const char* text)>;
void set_note_sink(NoteSink sink);
void note(const std::string& text);

// Buffers of __QVEEngMalloc not yet given back to __QVEEngFree.
std::size_t live_allocations();
// Size of a live buffer of __QVEEngMalloc (0 for any other pointer).
std::size_t allocation_size(const void* p);
// The live buffers as "source:line size", oldest first: what a leak report names.
std::vector<std::string> live_allocation_sites();

}  // namespace ws
