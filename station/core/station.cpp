#include "core/station.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "libqvebc2fcs/bc2fcs_layout.h"
#include "tusave_bytes.h"

namespace fcs {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxParams = (kRequestMax - kRequestParamsOff) / bc2fcs::kParaSize;
constexpr int kOpMarkKinds[] = {10, 11, 42, 21, 22, 28, 27, 29, 30, 12, 31, 58};

bool known_kind(int k) { return std::find(std::begin(kOpMarkKinds), std::end(kOpMarkKinds), k) != std::end(kOpMarkKinds); }

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    return Bytes(s.begin(), s.end());
}

std::string under(const std::string& dir, const std::string& p) { return !p.empty() && p[0] == '/' ? p : dir + "/" + p; }

void put_item(Bytes& out, std::uint16_t status, std::uint8_t type, std::uint8_t recNo, std::int16_t blockNo,
              std::uint16_t first, std::uint16_t count, std::uint32_t bytes, bool big) {
    std::uint8_t h[bc2fcs::kItemSize] = {};
    tb::store_u16(h, status);
    h[4] = type;
    h[5] = recNo;
    tb::store_u16(h + 6, static_cast<std::uint16_t>(blockNo));
    tb::store_u16(h + 8, first);
    tb::store_u16(h + 10, count);
    tb::store_u32(h + 12, bytes);
    if (big) bc2fcs::swap_item(h);
    out.insert(out.end(), h, h + sizeof h);
}

}  // namespace

// A request as the station reads it: save header and parameters in host order.
struct Station::Request {
    std::span<const std::uint8_t> frame;
    bool hasHeader = false;  // at least the prefix and a save header
    bool malformed = false;  // lengths and counts do not agree
    std::uint8_t cmd = 0, sub = 0, area = 0;
    std::uint16_t serial = 0;
    std::uint32_t session = 0;
    std::vector<std::array<std::uint8_t, bc2fcs::kParaSize>> params;
};

Config load_config(const std::string& dir) {
    const std::string path = dir + "/station.json";
    Bytes text = read_file(path);
    json j;
    try {
        j = json::parse(text.begin(), text.end());
    } catch (const std::exception& e) {
        throw ConfigError(path + ": malformed JSON: " + e.what());
    }
    if (!j.is_object()) throw ConfigError(path + ": expected a JSON object");
    Config c;
    try {
        c.name = j.at("name").get<std::string>();
        int n = j.at("number").get<int>();
        if (n < 1 || n > 255) throw ConfigError(path + ": \"number\" is not 1 to 255");
        c.number = static_cast<std::uint16_t>(n);
        std::string order = j.value("byteOrder", std::string("big"));
        if (order != "big" && order != "host") throw ConfigError(path + ": \"byteOrder\" is neither \"big\" nor \"host\"");
        c.bigEndian = order == "big";
        c.memoryPath = under(dir, j.value("memory", std::string("memory.sfdata")));
        c.memory = read_file(c.memoryPath);
        std::string ui = under(dir, j.value("userInst", std::string("userinst.json")));
        if (c.bigEndian || std::ifstream(ui).good()) c.userInst = read_file(ui);
    } catch (const ConfigError&) {
        throw;
    } catch (const std::exception& e) {
        throw ConfigError(path + ": " + e.what());
    }
    return c;
}

Station::Station(Config config) : cfg_(std::move(config)), mem_(cfg_.memory) {
    cfg_.memory.clear();
    cfg_.scenario = cfg_.scenario.for_station(cfg_.number);
    if (auto why = mem_.check_header()) throw ConfigError("station " + cfg_.name + ": " + *why);
    if (mem_.header_station() != cfg_.number)
        throw ConfigError("station " + cfg_.name + ": memory belongs to station " + std::to_string(mem_.header_station()));
    if (!cfg_.userInst.empty() || cfg_.bigEndian) {
        std::string err;
        layouts_ = bc2fcs::RecordLayouts::parse(cfg_.userInst.data(), cfg_.userInst.size(), &err);
        if (!layouts_) throw ConfigError("station " + cfg_.name + ": " + err);
    }
}

std::optional<std::string> Station::replace_memory(std::vector<std::uint8_t> bytes) {
    Memory m(std::move(bytes));
    if (auto why = m.check_header()) return why;
    if (m.header_station() != cfg_.number) return "memory belongs to station " + std::to_string(m.header_station());
    mem_ = std::move(m);
    return std::nullopt;
}

Station::~Station() = default;
Station::Station(Station&&) noexcept = default;

Reply Station::handle(std::span<const std::uint8_t> frame) {
    Request rq;
    rq.frame = frame;
    if (frame.size() >= kRequestParamsOff) {
        rq.hasHeader = true;
        std::uint8_t h[bc2fcs::kHeaderSize];
        std::memcpy(h, frame.data() + kRequestHeaderOff, sizeof h);
        if (cfg_.bigEndian) bc2fcs::swap_header(h);
        rq.cmd = h[kHdrCommand];
        rq.sub = h[kHdrSub];
        rq.area = h[kHdrArea];
        rq.serial = tb::load_u16(h + kHdrSerial);
        rq.session = tb::load_u32(h + kHdrSession);
        std::int16_t bytes = tb::load_i16(h + kHdrBytes);
        std::uint16_t count = tb::load_u16(h + kHdrCount);
        std::size_t words = tb::load_u16(frame.data() + 30);
        std::size_t avail = (frame.size() - kRequestParamsOff) / bc2fcs::kParaSize;
        if (frame.size() > kRequestMax || bytes < 0 || std::size_t(bytes) != bc2fcs::kParaSize * count ||
            count > kMaxParams || count > avail || words * 2 != bc2fcs::kHeaderSize + std::size_t(bytes) ||
            kRequestPrefix + words * 2 > frame.size()) {
            rq.malformed = true;
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                std::array<std::uint8_t, bc2fcs::kParaSize> p;
                std::memcpy(p.data(), frame.data() + kRequestParamsOff + i * p.size(), p.size());
                if (cfg_.bigEndian) bc2fcs::swap_para(p.data());
                rq.params.push_back(p);
            }
        }
    }
    return respond(rq);
}

Reply Station::respond(const Request& rq) {
    // The scenario's rules that act on this request.
    Command cmd = Command::any;
    if (rq.hasHeader && !rq.malformed) {
        if (rq.cmd == kCmdSession && rq.sub == 1) cmd = Command::start;
        else if (rq.cmd == kCmdSession && rq.sub == 2) cmd = Command::end;
        else if (rq.cmd == kCmdSave && rq.sub == 3) cmd = Command::save;
        else if (rq.cmd == kCmdUpload && rq.sub == 3) cmd = Command::upload;
        else if (rq.cmd == kCmdGenInfo && rq.sub == 1) cmd = Command::geninfo;
    }
    std::optional<std::uint8_t> status;
    std::optional<std::uint16_t> scriptedResult;
    std::optional<std::size_t> truncate, chunk;
    bool noReply = false, twice = false;
    std::uint32_t delay = 0;
    for (Rule& r : cfg_.scenario.rules) {
        if (r.command != Command::any && r.command != cmd) continue;
        if (r.area && (!rq.hasHeader || *r.area != rq.area)) continue;
        if (r.kind && std::none_of(rq.params.begin(), rq.params.end(), [&](const auto& p) { return p[0] == *r.kind; }))
            continue;
        ++r.seen;
        if (r.seen < r.nth || (r.times != 0 && r.seen - r.nth >= r.times)) continue;
        if (r.status && !status) status = r.status;
        if (r.result && !scriptedResult) scriptedResult = r.result;
        if (r.truncate && !truncate) truncate = r.truncate;
        if (r.chunk && !chunk) chunk = r.chunk;
        noReply = noReply || r.noReply;
        twice = twice || r.twice;
        delay = std::max(delay, r.delayMs);
    }
    if (noReply) return {};

    Bytes body;
    std::uint16_t result = kResultOk;
    std::uint8_t comm = kStatusGood;
    std::uint16_t paramCount = 0;
    if (status) {
        comm = *status;  // not taken: the serial number stays expected
    } else if (!rq.hasHeader) {
        if (cfg_.scenario.dropMalformed) return {};
        comm = kStatusFrameError;
    } else if (rq.malformed) {
        if (cfg_.scenario.dropMalformed) return {};
        result = kResultBadParameters;
    } else if (cmd == Command::any) {
        result = kResultUnknownCommand;
    } else if (cmd == Command::geninfo) {
        if (!rq.params.empty() || rq.area != 0) {
            result = kResultBadParameters;
        } else if (scriptedResult) {
            result = *scriptedResult;
        } else {
            std::uint8_t g[kGenInfoSize] = {};
            tb::store_u16(g, kOrderMark);
            tb::store_u64(g + 8, mem_.generation());
            std::memcpy(g + 16, cfg_.name.data(), std::min<std::size_t>(16, cfg_.name.size()));
            if (cfg_.bigEndian) {
                tb::swap_in_place(g, 2);
                tb::swap_in_place(g + 8, 8);
            }
            body.assign(g, g + sizeof g);
            paramCount = 1;
        }
    } else if (cmd == Command::start) {
        if (rq.serial != 1) result = kResultBadSerial;
        else if (rq.session != 0) result = kResultBadSession;
        else if (rq.area > 1 || (rq.area == 1 && !mem_.pos(tb::get_u32(mem_.bytes(), kRootTbl + 0x80).value_or(0), 0x30)))
            result = kResultUnknownArea;
        else if (!rq.params.empty()) result = kResultBadParameters;
        else if (scriptedResult) result = *scriptedResult;
        else {
            do_start(rq, body, result);
            paramCount = 1;
        }
    } else {
        if (!session_ || rq.session != sessionId_) result = kResultBadSession;
        else if (rq.serial != expectedSerial_) result = kResultBadSerial;
        else if (rq.area != sessionArea_) result = kResultUnknownArea;
        else {
            ++expectedSerial_;
            if (scriptedResult) {
                result = *scriptedResult;
            } else if (cmd == Command::end) {
                if (!rq.params.empty()) {
                    result = kResultBadParameters;
                } else {
                    session_ = false;
                    pending_.clear();
                    pendingValid_ = false;
                }
            } else if (cmd == Command::save) {
                do_save(rq, body, result);
                if (result == kResultOk) paramCount = 1;
            } else if (!rq.params.empty()) {
                result = kResultBadParameters;
            } else {
                do_upload(rq, chunk.value_or(cfg_.scenario.chunkSize), body, result);
            }
        }
    }

    Reply reply;
    reply.delayMs = delay;
    reply.copies = twice ? 2 : 1;
    Bytes& f = reply.frame;
    f.assign(kReplyBodyOff, 0);
    if (rq.frame.size() >= 4) std::memcpy(f.data(), rq.frame.data(), 4);
    tb::store_u16(f.data() + kStationNumberOff, cfg_.number);
    f[24] = 8;
    if (rq.frame.size() >= 30) std::memcpy(f.data() + 28, rq.frame.data() + 28, 2);
    tb::store_u16(f.data() + 30, static_cast<std::uint16_t>((bc2fcs::kHeaderSize + body.size()) / 2));
    f[kReplyStatusOff] = comm;
    std::uint8_t* h = f.data() + kReplyHeaderOff;
    h[kHdrCommand] = rq.cmd;
    h[kHdrSub] = rq.sub;
    h[kHdrArea] = rq.area;
    tb::store_u16(h + kHdrResult, result);
    tb::store_u16(h + kHdrSerial, rq.serial);
    tb::store_u32(h + kHdrSession, session_ ? sessionId_ : 0);
    tb::store_u16(h + kHdrBytes, static_cast<std::uint16_t>(body.size()));
    tb::store_u16(h + kHdrCount, paramCount);
    if (cfg_.bigEndian) bc2fcs::swap_header(h);
    f.insert(f.end(), body.begin(), body.end());
    if (truncate && *truncate < f.size()) f.resize(*truncate);
    return reply;
}

void Station::do_start(const Request& rq, Bytes& body, std::uint16_t&) {
    session_ = true;
    sessionArea_ = rq.area;
    ++sessionsStarted_;
    // Distinct per station and per session, and not the same read in either byte order.
    sessionId_ = 0x5A000000u | (std::uint32_t{cfg_.number} << 12) | (sessionsStarted_ & 0xFFFu);
    expectedSerial_ = 2;
    pending_.clear();
    pendingValid_ = false;
    std::uint8_t p[bc2fcs::kRtnParaSize] = {};
    tb::store_u32(p, sessionId_);
    if (cfg_.bigEndian) bc2fcs::swap_rtn_para(p);
    body.assign(p, p + sizeof p);
}

std::uint16_t Station::scripted_item_status(int block, int rec, int kind) const {
    for (const ItemFault& f : cfg_.scenario.items) {
        if (kind < 0 && f.block && *f.block == block && f.record && *f.record == rec) return f.status;
        if (kind >= 0 && f.kind && *f.kind == kind) return f.status;
    }
    return 0;
}

void Station::add_block_item(int block, int rec, Bytes& out) const {
    const bool big = cfg_.bigEndian;
    const auto blockNo = static_cast<std::int16_t>(block);
    const auto recNo = static_cast<std::uint8_t>(rec);
    std::uint16_t status = scripted_item_status(block, rec, -1);
    std::optional<RecordRef> ref;
    if (!status) {
        if (!mem_.block_header(block)) status = kItemNoBlock;
        else if (!(ref = mem_.record(block, rec))) status = kItemNoRecord;
    }
    if (status) {
        put_item(out, status, bc2fcs::kKindBlockRecord, recNo, blockNo, 0, 0, 0, big);
        return;
    }
    auto src = mem_.bytes().subspan(ref->pos, ref->size);
    Bytes data(src.begin(), src.end());
    if (rec == 1) {
        for (const Record1Fault& f : cfg_.scenario.record1) {
            if (f.block != block) continue;
            if (f.tag && data.size() >= 0x14) {
                std::memset(data.data() + 4, 0, 16);
                std::memcpy(data.data() + 4, f.tag->data(), f.tag->size());
            }
            if (f.blockCode && data.size() >= 0x16) tb::store_u16(data.data() + 0x14, *f.blockCode);
        }
    }
    if (big && layouts_) {
        // A record without a layout is all byte data to the station.
        if (const auto* layout = layouts_->find(ref->blockCode, rec)) bc2fcs::swap_record(*layout, data.data(), data.size());
    }
    for (const SizeFault& f : cfg_.scenario.sizes)
        if (f.block == block && f.record == rec) data.resize(f.size, 0);
    put_item(out, 0, bc2fcs::kKindBlockRecord, recNo, blockNo, 0, 0, static_cast<std::uint32_t>(data.size()), big);
    out.insert(out.end(), data.begin(), data.end());
}

void Station::add_opmark_item(int kind, std::uint16_t first, std::uint16_t count, Bytes& out) const {
    const bool big = cfg_.bigEndian;
    const auto type = static_cast<std::uint8_t>(kind);
    std::uint16_t status = scripted_item_status(0, 0, kind);
    std::optional<OpMarkTable> t;
    if (!status) {
        if (!known_kind(kind)) status = kItemUnknownKind;
        else if (!(t = mem_.opmark(kind))) status = kItemNoTable;
        else if (first < 1 || count < 1 || std::uint32_t{first} + count - 1 > t->last) status = kItemBadRange;
    }
    if (status) {
        put_item(out, status, type, 0, 0, first, count, 0, big);
        return;
    }
    std::size_t off, len;
    if (t->bitmap) {
        off = t->pos + (std::size_t{first} - 1) / 128 * 16;
        len = (std::size_t{count} + 127) / 128 * 16;
    } else {
        off = t->pos + (std::size_t{first} - 1) * t->elemWords * 2;
        len = std::size_t{count} * t->elemWords * 2;
    }
    if (!tb::in_range(mem_.bytes().size(), off, len)) {
        put_item(out, kItemBadRange, type, 0, 0, first, count, 0, big);
        return;
    }
    put_item(out, 0, type, 0, 0, first, count, static_cast<std::uint32_t>(len), big);
    std::size_t at = out.size();
    auto src = mem_.bytes().subspan(off, len);
    out.insert(out.end(), src.begin(), src.end());
    if (big)
        for (std::size_t i = 0; i + 1 < len; i += 2) tb::swap_in_place(out.data() + at + i, 2);
}

void Station::do_save(const Request& rq, Bytes& body, std::uint16_t& result) {
    Bytes data;
    for (const auto& p : rq.params) {
        if (p[0] == bc2fcs::kKindBlockRecord)
            add_block_item(tb::load_i16(p.data() + 2), p[1], data);
        else
            add_opmark_item(p[0], tb::load_u16(p.data() + 4), tb::load_u16(p.data() + 6), data);
    }
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        result = kResultBadParameters;
        return;
    }
    pending_ = std::move(data);
    pendingSent_ = 0;
    pendingValid_ = true;
    std::uint8_t p[bc2fcs::kRtnParaSize] = {};
    tb::store_u32(p, static_cast<std::uint32_t>(pending_.size()));
    if (cfg_.bigEndian) bc2fcs::swap_rtn_para(p);
    body.assign(p, p + sizeof p);
}

void Station::do_upload(const Request&, std::size_t chunk, Bytes& body, std::uint16_t& result) {
    if (!pendingValid_ || pendingSent_ >= pending_.size()) {
        result = kResultNothingToUpload;
        return;
    }
    std::size_t n = std::min(chunk, pending_.size() - pendingSent_);
    body.assign(pending_.begin() + static_cast<std::ptrdiff_t>(pendingSent_),
                pending_.begin() + static_cast<std::ptrdiff_t>(pendingSent_ + n));
    pendingSent_ += n;
}

}  // namespace fcs
