// The workstation's readers of outside text: the instance definitions, the workstation
// settings, the project's system configuration and the record layouts of the user instance
// file. Malformed input must give an error, never a crash or an exception.
//
// Input: u8 reader (0 instance definitions, 1 "workstation.json", 2 "sysconfig.json",
// 3 record layouts), then the file's bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ws_config.h"
#include "fuzz_home.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqverxgen/inst_def.h"

namespace {

struct ReaderHome {
    fuzzhome::TempDir tmp;
    std::string workstation = tmp.dir + "/workstation.json", sysconfig = tmp.dir + "/projects/DEMO/SYSTEM/sysconfig.json";
    std::string goodWorkstation = R"({"currentProject": "DEMO", "projectsDir": "projects"})";
    bool workstationGood = false;
    ReaderHome() {
        fuzzhome::quiet();
        setenv("TUSAVE_HOME", tmp.dir.c_str(), 1);
        std::filesystem::create_directories(tmp.dir + "/projects/DEMO/SYSTEM");
    }
};

void Definitions(std::string_view text) {
    instdef::Definitions d;
    std::string error;
    if (!instdef::parse(text, "fuzz", d, error)) return;
    for (const instdef::Model& m : d.models) {
        if (d.code(m.blockCode) == nullptr || d.name(m.name) == nullptr) std::abort();
        for (const instdef::Item& it : m.items)
            if (m.find(it.name) == nullptr) std::abort();
    }
}

void Layouts(const std::uint8_t* data, std::size_t size) {
    auto layouts = bc2fcs::RecordLayouts::parse(data, size, nullptr);
    if (!layouts) return;
    // Every layout the file gives, found by the block codes it names, swapped in a record.
    while (size > 0 && data[size - 1] == 0) --size;
    const auto j = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!j.is_object()) return;
    std::vector<std::uint8_t> record;
    for (const auto& m : j.value("models", nlohmann::json::array())) {
        if (!m.is_object() || !m.contains("blockCode") || !m["blockCode"].is_number_unsigned()) continue;
        const auto code = static_cast<std::uint16_t>(m["blockCode"].get<std::uint64_t>());
        for (int rec = 0; rec < 16; ++rec)
            if (const bc2fcs::RecordLayout* l = layouts->find(code, rec)) {
                record.assign(std::min<std::size_t>(l->size, 1 << 16), 0x5A);
                bc2fcs::swap_record(*l, record.data(), record.size());
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ReaderHome h;
    if (size < 1) return 0;
    const std::uint8_t* text = data + 1;
    const std::size_t n = size - 1;
    std::string error;
    switch (data[0] % 4) {
    case 0:
        Definitions(std::string_view(reinterpret_cast<const char*>(text), n));
        break;
    case 1: {
        fuzzhome::write_file(h.workstation, text, n);
        h.workstationGood = false;
        ws::Workstation w;
        ws::load_workstation(w, error);
        break;
    }
    case 2: {
        // Written again only after an input of its own replaced it.
        if (!h.workstationGood)
            fuzzhome::write_file(h.workstation, reinterpret_cast<const std::uint8_t*>(h.goodWorkstation.data()),
                                 h.goodWorkstation.size());
        h.workstationGood = true;
        fuzzhome::write_file(h.sysconfig, text, n);
        ws::Project p;
        ws::load_project("DEMO", false, p, error);
        break;
    }
    default:
        Layouts(text, n);
        break;
    }
    return 0;
}
