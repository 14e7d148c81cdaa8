// Records one save in the project's history database, around the library's call: the save's
// row (state running) before it, the values and the end state after it. A database that
// cannot be used never changes the save: the recorder keeps one warning line and says so in
// its summary line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "history.h"

namespace history {

struct RecorderOptions {
    std::string project;
    std::string station;
    int kind = 2;
    int mode = 0;
    std::string reason;
    std::string program;   // "tusave 0.1.0"
};

class Recorder {
public:
    // Finds the database and the TP file (through the project's path service: before any
    // fault injection is armed, as these look-ups are not the save's).
    explicit Recorder(const RecorderOptions& o);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder();
    // Right before the call: reads the TP file, opens the database, inserts the running row
    // with the save's start (the workstation's clock when none is given).
    void start(std::optional<std::int64_t> started = std::nullopt);
    // Every message-buffer line of the save (the warnings are counted).
    void line(const char* text);
    // After the call, with the save's result and the blocks and records it saved.
    void finish(std::uint32_t result, unsigned blocks, unsigned records);

    // Whether the save's row was ended (its values too unless warning() says otherwise).
    bool recorded() const { return recorded_; }
    std::int64_t id() const { return id_; }
    // "WRN:..." when the save was not recorded, else empty.
    const std::string& warning() const { return warning_; }
    // One line for the save's summary; empty when the project has no folder to record in.
    std::string summary() const;

private:
    void Fail(const std::string& why, bool valuesOnly);
    void TakeBackBefore();

    RecorderOptions o_;
    std::string dbPath_, tpPath_;
    std::optional<Database> db_;
    std::optional<TpFile> before_;
    int beforeFd_ = -1;   // the TP file before the save, its bytes set aside while it runs
    std::int64_t id_ = 0;
    std::chrono::steady_clock::time_point begin_;
    unsigned long sent0_ = 0, received0_ = 0;
    std::int64_t warnings_ = 0;
    bool recorded_ = false;
    std::string warning_, why_;
};

// What ends the warning line of a save the database did not take, before the reason.
inline constexpr const char* kNotRecorded = " not recorded in the history database: ";

// The user and host a save is recorded with.
std::string user_name();
std::string host_name();

}  // namespace history
