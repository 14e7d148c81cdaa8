// The value rows of a save and the replay that rebuilds a TP state from them.
#include "values.h"

#include <algorithm>
#include <unordered_map>

namespace history::detail {

namespace {

using tpfile::Block;

void Removed(std::vector<Row>& out, const Block& x) {
    for (const tpfile::Item& it : x.items) out.push_back({x.blockNo, x.tag, x.model, it.label, -1, true, &it.value, nullptr});
}

void Added(std::vector<Row>& out, const Block& y) {
    int i = 0;
    for (const tpfile::Item& it : y.items) out.push_back({y.blockNo, y.tag, y.model, it.label, i++, true, nullptr, &it.value});
}

bool SameLabels(const Block& x, const Block& y) {
    return std::equal(x.items.begin(), x.items.end(), y.items.begin(), y.items.end(),
                      [](const tpfile::Item& p, const tpfile::Item& q) { return p.label == q.label; });
}

void Both(std::vector<Row>& out, const Block& x, const Block& y, bool all) {
    if (x.tag != y.tag || x.model != y.model) {
        Removed(out, x);
        Added(out, y);
        return;
    }
    if (!all && SameLabels(x, y)) {
        for (std::size_t i = 0; i < y.items.size(); ++i)
            if (x.items[i].value != y.items[i].value)
                out.push_back({y.blockNo, y.tag, y.model, y.items[i].label, static_cast<int>(i), false,
                               &x.items[i].value, &y.items[i].value});
        return;
    }
    // Whole: every item of y with its old value where x had the label, then what x lost.
    std::unordered_map<std::string_view, const std::string*> old;
    for (const tpfile::Item& it : x.items) old.emplace(it.label, &it.value);
    int i = 0;
    for (const tpfile::Item& it : y.items) {
        auto o = old.find(it.label);
        out.push_back({y.blockNo, y.tag, y.model, it.label, i++, true, o == old.end() ? nullptr : o->second, &it.value});
        if (o != old.end()) old.erase(o);
    }
    for (const tpfile::Item& it : x.items)
        if (old.count(it.label)) out.push_back({x.blockNo, x.tag, x.model, it.label, -1, true, &it.value, nullptr});
}

}  // namespace

std::vector<Row> rows(const tpfile::File& a, const tpfile::File& b, bool all) {
    std::vector<Row> out;
    // Both files list their blocks in ascending number (the reader refuses any other order).
    auto x = a.blocks.begin(), y = b.blocks.begin();
    while (x != a.blocks.end() || y != b.blocks.end()) {
        if (y == b.blocks.end() || (x != a.blocks.end() && x->blockNo < y->blockNo)) {
            Removed(out, *x++);
        } else if (x == a.blocks.end() || y->blockNo < x->blockNo) {
            Added(out, *y++);
        } else {
            Both(out, *x++, *y++, all);
        }
    }
    return out;
}

bool same_body(std::string_view a, std::string_view b) {
    // ":::SOURCE\n" then the head line; the rest is the body.
    auto body = [](std::string_view s) -> std::string_view {
        std::size_t n = s.find('\n');
        n = n == std::string_view::npos ? n : s.find('\n', n + 1);
        return n == std::string_view::npos ? std::string_view() : s.substr(n + 1);
    };
    const std::string_view x = body(a), y = body(b);
    return !x.empty() && x == y;
}

void Replay::next_save(bool baseline) {
    if (baseline) blocks_.clear();
    reset_.clear();
}

void Replay::apply(int block, const std::string& tag, const std::string& model, const std::string& item, int position,
                   bool whole, const std::string* newValue) {
    if (whole && !reset_[block]) {
        blocks_.erase(block);
        reset_[block] = true;
    }
    if (!newValue) return;
    Block& b = blocks_[block];
    b.tag = tag;
    b.model = model;
    b.items[item] = {position, *newValue};
}

tpfile::File Replay::file() const {
    tpfile::File f;
    for (const auto& [number, b] : blocks_) {
        if (b.items.empty()) continue;
        tpfile::Block out;
        out.seq = static_cast<int>(f.blocks.size()) + 1;
        out.blockNo = number;
        out.tag = b.tag;
        out.model = b.model;
        std::vector<std::pair<int, const std::string*>> order;
        for (const auto& [label, it] : b.items) order.emplace_back(it.position, &label);
        std::stable_sort(order.begin(), order.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
        for (const auto& [_, label] : order) out.items.push_back({*label, b.items.at(*label).value});
        f.blocks.push_back(std::move(out));
    }
    return f;
}

}  // namespace history::detail
