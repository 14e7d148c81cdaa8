// A simulated field control station: request frame in, reply frame out, no I/O.
//
//     fcs::Station st(fcs::load_config("fcs/FCS0101"));
//     fcs::Reply r = st.handle(request);   // r.frame empty: no reply; r.delayMs before sending
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/frame.h"
#include "core/memory.h"
#include "core/scenario.h"

namespace bc2fcs {
class RecordLayouts;
}

namespace fcs {

struct Config {
    std::string name;
    std::uint16_t number = 0;
    bool bigEndian = true;              // false: a test station in host order
    std::vector<std::uint8_t> memory;   // the live memory, station database file layout
    std::string memoryPath;             // the file it was read from (load_config), or empty
    std::vector<std::uint8_t> userInst; // user instance file (record layouts)
    Scenario scenario;
};

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads DIR/station.json and the files it names; throws ConfigError with the reason.
Config load_config(const std::string& dir);

struct Reply {
    std::vector<std::uint8_t> frame;  // empty: no reply
    std::uint32_t delayMs = 0;
    unsigned copies = 1;              // times the frame is sent
};

class Station {
public:
    // Throws ConfigError when the memory or the record layouts are unusable.
    explicit Station(Config config);
    ~Station();
    Station(Station&&) noexcept;

    Reply handle(std::span<const std::uint8_t> request);

    std::uint16_t number() const { return cfg_.number; }
    const std::string& name() const { return cfg_.name; }
    bool session_open() const { return session_; }
    std::uint32_t session_id() const { return sessionId_; }
    const Memory& memory() const { return mem_; }
    // Takes a new live memory (its tuning values changed while the station runs); the reason
    // when it is refused (malformed header, another station's), and the old one stays.
    std::optional<std::string> replace_memory(std::vector<std::uint8_t> bytes);

private:
    struct Request;
    Reply respond(const Request& rq);
    void do_start(const Request& rq, std::vector<std::uint8_t>& body, std::uint16_t& result);
    void do_save(const Request& rq, std::vector<std::uint8_t>& body, std::uint16_t& result);
    void do_upload(const Request& rq, std::size_t chunk, std::vector<std::uint8_t>& body, std::uint16_t& result);
    void add_block_item(int block, int rec, std::vector<std::uint8_t>& out) const;
    void add_opmark_item(int kind, std::uint16_t first, std::uint16_t count, std::vector<std::uint8_t>& out) const;
    std::uint16_t scripted_item_status(int block, int rec, int kind) const;

    Config cfg_;
    Memory mem_;
    std::shared_ptr<const bc2fcs::RecordLayouts> layouts_;
    bool session_ = false;
    std::uint8_t sessionArea_ = 0;
    std::uint32_t sessionId_ = 0;
    std::uint32_t sessionsStarted_ = 0;
    std::uint16_t expectedSerial_ = 1;
    std::vector<std::uint8_t> pending_;  // prepared upload data not yet sent
    std::size_t pendingSent_ = 0;
    bool pendingValid_ = false;
};

}  // namespace fcs
