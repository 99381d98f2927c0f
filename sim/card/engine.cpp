#include "sim/card/engine.h"

#include <algorithm>

#include "compare.h"
#include "sim/apdu.h"
#include "sim/hex_text.h"

namespace ryx::sim::card {
namespace {

void AppendTlv(std::vector<std::uint8_t>* out, std::uint16_t tag, const std::vector<std::uint8_t>& value) {
    if (tag > 0xFF) out->push_back(static_cast<std::uint8_t>(tag >> 8));
    out->push_back(static_cast<std::uint8_t>(tag));
    const std::size_t n = value.size();
    if (n > 0xFF) {
        out->insert(out->end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    } else if (n > 0x7F) {
        out->insert(out->end(), {0x81, static_cast<std::uint8_t>(n)});
    } else {
        out->push_back(static_cast<std::uint8_t>(n));
    }
    out->insert(out->end(), value.begin(), value.end());
}

}  // namespace

CardEngine::CardEngine(Description description) : original_(description), d_(std::move(description)) {
    for (const Pin& p : d_.pins) retries_.push_back(p.retries);
}

void CardEngine::Reset() {
    verified_.clear();
    df_ = 0;
    ef_ = kNone;
    pending_.clear();
}

std::vector<std::uint8_t> CardEngine::Process(std::span<const std::uint8_t> command) {
    auto parsed = ParseApdu(command);
    Answer answer{{}, 0x6700};
    if (!parsed || (parsed->extended && !d_.extended)) {
        pending_.clear();
        return {0x67, 0x00};
    }
    const Apdu& a = *parsed;
    if (a.ins == 0xC0 && (a.cla & 0x80) == 0 && !pending_.empty()) {
        // GET RESPONSE: the next part of what was left.
        std::vector<std::uint8_t> rest = std::move(pending_);
        pending_.clear();
        return Shape({std::move(rest), pendingSw_}, false, a.hasLe, a.ne);
    }
    pending_.clear();
    answer = Execute(command);
    return Shape(std::move(answer), !a.data.empty(), a.hasLe, a.ne);
}

std::vector<std::uint8_t> CardEngine::Shape(Answer answer, bool hasData, bool hasLe, std::size_t ne) {
    auto withSw = [](std::vector<std::uint8_t> data, std::uint16_t sw) {
        data.push_back(static_cast<std::uint8_t>(sw >> 8));
        data.push_back(static_cast<std::uint8_t>(sw));
        return data;
    };
    const std::size_t r = answer.data.size();
    if (r == 0) return withSw({}, answer.sw);
    auto more = [&](std::size_t given) {  // give `given` bytes, keep the rest for GET RESPONSE
        std::vector<std::uint8_t> head(answer.data.begin(), answer.data.begin() + static_cast<std::ptrdiff_t>(given));
        pending_.assign(answer.data.begin() + static_cast<std::ptrdiff_t>(given), answer.data.end());
        pendingSw_ = answer.sw;
        const std::size_t left = pending_.size();
        return withSw(std::move(head), static_cast<std::uint16_t>(0x6100 | (left >= 256 ? 0 : left)));
    };
    if (d_.t0) {
        // T=0 carries data back only for a command without data, and only as many bytes as P3 says.
        if (hasData || !hasLe) return more(0);
        if (ne == r || (ne == 256 && r > 256)) return r > ne ? more(ne) : withSw(std::move(answer.data), answer.sw);
        // Kept for a GET RESPONSE with the right length; a command sent again anew drops it.
        pending_ = std::move(answer.data);
        pendingSw_ = answer.sw;
        return withSw({}, static_cast<std::uint16_t>(0x6C00 | (r >= 256 ? 0 : r)));
    }
    if (hasLe && r > ne) return more(ne);
    return withSw(std::move(answer.data), answer.sw);
}

bool CardEngine::Allowed(const Access& a) const {
    return a.kind == Access::Kind::Always || (a.kind == Access::Kind::Pin && verified_.count(a.pin) != 0);
}

CardEngine::Answer CardEngine::Execute(std::span<const std::uint8_t> command) {
    const Apdu a = *ParseApdu(command);
    const File& df = d_.files[df_];
    for (const Rule& rule : d_.rules) {
        const std::size_t n =
            rule.prefix
                ? std::min(
                      command.size(),
                      static_cast<std::size_t>(
                          std::count_if(rule.pattern.begin(), rule.pattern.end(), [](char c) { return c != ' '; }) / 2))
                : command.size();
        if (ryx_test::CompareResponse(rule.pattern, command.data(), static_cast<std::uint32_t>(n), nullptr) != 0)
            continue;
        if (rule.selected && (df.name.size() < rule.selected->size() ||
                              !std::equal(rule.selected->begin(), rule.selected->end(), df.name.begin()))) {
            continue;
        }
        if (rule.verified && verified_.count(*rule.verified) == 0) continue;
        if (rule.counts) {
            Counter& c = d_.counters[*rule.counts];
            const std::uint64_t max = (std::uint64_t{1} << (8 * c.size)) - 1;
            if (c.value < max) ++c.value;
        }
        const std::size_t size = rule.response.size();
        return {{rule.response.begin(), rule.response.end() - 2},
                static_cast<std::uint16_t>(rule.response[size - 2] << 8 | rule.response[size - 1])};
    }
    if ((a.cla & 0x80) != 0) return {{}, d_.unknownSw};
    switch (a.ins) {
        case 0xA4:
            return Select(a.p1, a.p2, a.data, a.hasLe);
        case 0xB0:
        case 0xD6:
            return Binary(a.ins, a.p1, a.p2, a.data, a.ne);
        case 0xB2:
            return Record(a.p1, a.p2);
        case 0xCA:
        case 0xDA: {
            const std::uint16_t tag = static_cast<std::uint16_t>(a.p1 << 8 | a.p2);
            return a.ins == 0xCA ? GetData(tag) : PutData(tag, a.data);
        }
        case 0x20:
            return Verify(a.p1, a.p2, a.data);
        case 0x24:
            return Change(a.p1, a.p2, a.data);
        case 0x2C:
            return ResetCounter(a.p1, a.p2, a.data);
        case 0xC0:
            return {{}, 0x6985};  // nothing is left to get
        default:
            return {{}, d_.unknownSw};
    }
}

std::size_t CardEngine::Parent(std::size_t file) const {
    const auto& path = d_.files[file].path;
    for (std::size_t i = 0; i < d_.files.size(); ++i) {
        if (d_.files[i].path.size() + 1 == path.size() &&
            std::equal(d_.files[i].path.begin(), d_.files[i].path.end(), path.begin())) {
            return i;
        }
    }
    return 0;
}

std::size_t CardEngine::Child(std::size_t df, std::uint16_t fid) const {
    const auto& path = d_.files[df].path;
    for (std::size_t i = 0; i < d_.files.size(); ++i) {
        const auto& p = d_.files[i].path;
        if (p.size() == path.size() + 1 && p.back() == fid && std::equal(path.begin(), path.end(), p.begin())) return i;
    }
    return kNone;
}

std::vector<std::uint8_t> CardEngine::Fcp(std::size_t index, std::uint8_t tag) const {
    const File& f = d_.files[index];
    std::vector<std::uint8_t> inner;
    switch (f.kind) {
        case File::Kind::Df:
            AppendTlv(&inner, 0x82, {0x38});
            break;
        case File::Kind::Binary:
            AppendTlv(&inner, 0x80,
                      {static_cast<std::uint8_t>(f.data.size() >> 8), static_cast<std::uint8_t>(f.data.size())});
            AppendTlv(&inner, 0x82, {0x01});
            break;
        case File::Kind::Records: {
            std::size_t longest = 0;
            for (const auto& r : f.records) longest = std::max(longest, r.size());
            AppendTlv(
                &inner, 0x82,
                {0x02, 0x21, 0x00, static_cast<std::uint8_t>(longest), static_cast<std::uint8_t>(f.records.size())});
            break;
        }
    }
    AppendTlv(&inner, 0x83, {static_cast<std::uint8_t>(f.path.back() >> 8), static_cast<std::uint8_t>(f.path.back())});
    if (!f.name.empty()) AppendTlv(&inner, 0x84, f.name);
    if (f.sfi) AppendTlv(&inner, 0x88, {static_cast<std::uint8_t>(*f.sfi << 3)});
    AppendTlv(&inner, 0x8A, {0x05});
    std::vector<std::uint8_t> out;
    AppendTlv(&out, tag, inner);
    return out;
}

std::size_t CardEngine::ByName(std::span<const std::uint8_t> name) const {
    for (std::size_t i = 0; i < d_.files.size(); ++i) {
        const auto& full = d_.files[i].name;
        if (full.size() >= name.size() && std::equal(name.begin(), name.end(), full.begin())) return i;
    }
    return kNone;
}

std::size_t CardEngine::ByPath(bool fromMf, std::span<const std::uint8_t> path) const {
    auto fidAt = [&](std::size_t i) { return static_cast<std::uint16_t>(path[i] << 8 | path[i + 1]); };
    std::size_t at = fromMf ? 0 : df_;
    std::size_t i = fromMf && fidAt(0) == 0x3F00 ? 2 : 0;
    for (; i < path.size() && at != kNone; i += 2) {
        if (d_.files[at].kind != File::Kind::Df) at = kNone;
        if (at != kNone) at = Child(at, fidAt(i));
    }
    return at;
}

CardEngine::Answer CardEngine::Select(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data, bool le) {
    if (p2 != 0x00 && p2 != 0x04 && p2 != 0x0C) return {{}, 0x6A86};
    auto fidAt = [&](std::size_t i) { return static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]); };
    std::size_t found = kNone;
    switch (p1) {
        case 0x00:
            if (data.empty()) {
                found = 0;
                break;
            }
            if (data.size() != 2) return {{}, 0x6700};
            if (fidAt(0) == 0x3F00) {
                found = 0;
            } else if (fidAt(0) == d_.files[df_].path.back()) {
                found = df_;
            } else if ((found = Child(df_, fidAt(0))) == kNone) {
                found = Child(Parent(df_), fidAt(0));  // a sibling of the current DF
            }
            break;
        case 0x01:
        case 0x02:
            if (data.size() != 2) return {{}, 0x6700};
            found = Child(df_, fidAt(0));
            if (found != kNone && (d_.files[found].kind == File::Kind::Df) != (p1 == 0x01)) found = kNone;
            break;
        case 0x03:
            if (!data.empty()) return {{}, 0x6700};
            found = Parent(df_);
            break;
        case 0x04:
            if (data.empty() || data.size() > 16) return {{}, 0x6700};
            found = ByName(data);
            break;
        case 0x08:
        case 0x09:
            if (data.empty() || data.size() % 2 != 0) return {{}, 0x6700};
            found = ByPath(p1 == 0x08, data);
            break;
        default:
            return {{}, 0x6A86};
    }
    if (found == kNone) return {{}, 0x6A82};
    if (d_.files[found].kind == File::Kind::Df) {
        df_ = found;
        ef_ = kNone;
    } else {
        df_ = Parent(found);
        ef_ = found;
    }
    if (p2 == 0x0C || !le) return {{}, 0x9000};
    return {Fcp(found, p2 == 0x04 ? 0x62 : 0x6F), 0x9000};
}

CardEngine::Answer CardEngine::Binary(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                      std::span<const std::uint8_t> data, std::size_t ne) {
    std::size_t offset = static_cast<std::size_t>(p1) << 8 | p2;
    if ((p1 & 0x80) != 0) {
        const std::uint8_t sfi = p1 & 0x1F;
        std::size_t found = kNone;
        for (std::size_t i = 0; i < d_.files.size(); ++i) {
            if (d_.files[i].sfi == sfi && Parent(i) == df_ && d_.files[i].path.size() > 1) found = i;
        }
        if ((p1 & 0x60) != 0 || found == kNone) return {{}, 0x6A82};
        ef_ = found;
        offset = p2;
    }
    if (ef_ == kNone) return {{}, 0x6986};
    File& f = d_.files[ef_];
    if (f.kind != File::Kind::Binary) return {{}, 0x6981};
    if (!Allowed(ins == 0xB0 ? f.read : f.update)) return {{}, 0x6982};
    if (offset > f.data.size()) return {{}, 0x6B00};
    if (ins == 0xB0) {
        if (!data.empty() || ne == 0) return {{}, 0x6700};
        const std::size_t n = std::min(ne, f.data.size() - offset);
        return {{f.data.begin() + static_cast<std::ptrdiff_t>(offset),
                 f.data.begin() + static_cast<std::ptrdiff_t>(offset + n)},
                static_cast<std::uint16_t>(n < ne ? 0x6282 : 0x9000)};
    }
    if (data.empty()) return {{}, 0x6700};
    if (data.size() > f.data.size() - offset) return {{}, 0x6A84};
    std::copy(data.begin(), data.end(), f.data.begin() + static_cast<std::ptrdiff_t>(offset));
    return {{}, 0x9000};
}

CardEngine::Answer CardEngine::Record(std::uint8_t p1, std::uint8_t p2) {
    if ((p2 & 0x07) != 0x04 || p1 == 0) return {{}, 0x6A86};
    const std::uint8_t sfi = p2 >> 3;
    std::size_t file = ef_;
    if (sfi != 0) {
        file = kNone;
        for (std::size_t i = 1; i < d_.files.size(); ++i) {
            if (d_.files[i].sfi == sfi && Parent(i) == df_) file = i;
        }
        if (file == kNone) return {{}, 0x6A82};
        ef_ = file;
    }
    if (file == kNone) return {{}, 0x6986};
    const File& f = d_.files[file];
    if (f.kind != File::Kind::Records) return {{}, 0x6981};
    if (!Allowed(f.read)) return {{}, 0x6982};
    if (p1 > f.records.size()) return {{}, 0x6A83};
    return {f.records[p1 - 1u], 0x9000};
}

const DataObject* CardEngine::FindObject(std::uint16_t tag) const {
    for (const DataObject& o : d_.objects) {
        if (o.tag == tag) return &o;
    }
    return nullptr;
}

Pin* CardEngine::FindPin(std::uint8_t ref, std::size_t* index) {
    for (std::size_t i = 0; i < d_.pins.size(); ++i) {
        if (std::find(d_.pins[i].refs.begin(), d_.pins[i].refs.end(), ref) != d_.pins[i].refs.end()) {
            *index = i;
            return &d_.pins[i];
        }
    }
    return nullptr;
}

std::vector<std::uint8_t> CardEngine::ObjectValue(const DataObject& o) const {
    std::vector<std::uint8_t> out;
    for (const std::uint16_t part : o.parts) {
        const DataObject* p = FindObject(part);
        AppendTlv(&out, part, ObjectValue(*p));
    }
    for (const Piece& piece : o.value) {
        switch (piece.kind) {
            case Piece::Kind::Bytes:
                out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
                break;
            case Piece::Kind::Retries: {
                std::size_t index = 0;
                const_cast<CardEngine*>(this)->FindPin(piece.pin, &index);
                out.push_back(static_cast<std::uint8_t>(retries_[index]));
                break;
            }
            case Piece::Kind::Counter: {
                const Counter& c = d_.counters[piece.counter];
                for (std::size_t i = c.size; i-- > 0;) out.push_back(static_cast<std::uint8_t>(c.value >> (8 * i)));
                break;
            }
        }
    }
    return out;
}

CardEngine::Answer CardEngine::GetData(std::uint16_t tag) {
    const DataObject* o = FindObject(tag);
    if (o == nullptr) return {{}, 0x6A88};
    if (!Allowed(o->read)) return {{}, 0x6982};
    return {ObjectValue(*o), 0x9000};
}

CardEngine::Answer CardEngine::PutData(std::uint16_t tag, std::span<const std::uint8_t> data) {
    const DataObject* found = FindObject(tag);
    if (found == nullptr) return {{}, 0x6A88};
    DataObject& o = const_cast<DataObject&>(*found);
    if (!Allowed(o.write)) return {{}, 0x6982};
    if (data.size() > o.maxLength) return {{}, 0x6700};
    o.value.assign(1, Piece{Piece::Kind::Bytes, {data.begin(), data.end()}, 0, 0});
    return {{}, 0x9000};
}

CardEngine::Answer CardEngine::Verify(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data) {
    std::size_t i = 0;
    Pin* pin = FindPin(ref, &i);
    if (pin == nullptr) return {{}, 0x6A88};
    if (p1 == 0xFF && data.empty()) {  // forget the verification
        verified_.erase(ref);
        return {{}, 0x9000};
    }
    if (p1 != 0x00) return {{}, 0x6A86};
    if (retries_[i] == 0) return {{}, 0x6983};
    if (data.empty()) {
        return {{}, static_cast<std::uint16_t>(verified_.count(ref) != 0 ? 0x9000 : 0x63C0 | retries_[i])};
    }
    if (!std::equal(data.begin(), data.end(), pin->value.begin(), pin->value.end())) {
        --retries_[i];
        for (const std::uint8_t r : pin->refs) verified_.erase(r);
        return {{}, static_cast<std::uint16_t>(0x63C0 | retries_[i])};
    }
    retries_[i] = pin->retries;
    verified_.insert(ref);
    return {{}, 0x9000};
}

CardEngine::Answer CardEngine::Change(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data) {
    std::size_t i = 0;
    Pin* pin = FindPin(ref, &i);
    if (pin == nullptr) return {{}, 0x6A88};
    if (p1 != 0x00) return {{}, 0x6A86};
    if (retries_[i] == 0) return {{}, 0x6983};
    const std::size_t old = pin->value.size();
    if (data.size() <= old ||
        !std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(old), pin->value.begin())) {
        --retries_[i];
        for (const std::uint8_t r : pin->refs) verified_.erase(r);
        return {{}, static_cast<std::uint16_t>(0x63C0 | retries_[i])};
    }
    const auto fresh = data.subspan(old);
    if (fresh.size() < pin->minLength || fresh.size() > pin->maxLength) return {{}, 0x6A80};
    pin->value.assign(fresh.begin(), fresh.end());
    retries_[i] = pin->retries;
    return {{}, 0x9000};
}

CardEngine::Answer CardEngine::ResetCounter(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data) {
    std::size_t i = 0;
    Pin* pin = FindPin(ref, &i);
    if (pin == nullptr) return {{}, 0x6A88};
    if (p1 > 0x03) return {{}, 0x6A86};
    const bool withCode = p1 <= 0x01;
    const bool withNew = p1 == 0x00 || p1 == 0x02;
    std::span<const std::uint8_t> fresh = data;
    if (withCode) {
        if (!pin->resetCode) return {{}, 0x6982};
        const std::size_t n = pin->resetCode->size();
        if (data.size() < n ||
            !std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), pin->resetCode->begin())) {
            return {{}, 0x6982};
        }
        fresh = data.subspan(n);
    } else if (!pin->unblocker || verified_.count(*pin->unblocker) == 0) {
        return {{}, 0x6982};
    }
    if (withNew) {
        if (fresh.size() < pin->minLength || fresh.size() > pin->maxLength) return {{}, 0x6A80};
        pin->value.assign(fresh.begin(), fresh.end());
    } else if (!fresh.empty()) {
        return {{}, 0x6700};
    }
    retries_[i] = pin->retries;
    return {{}, 0x9000};
}

std::vector<std::string> CardEngine::Changes() const {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < d_.files.size(); ++i) {
        if (d_.files[i].data != original_.files[i].data)
            lines.push_back("file " + d_.files[i].PathText() + " " + HexText(d_.files[i].data));
    }
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
        if (d_.objects[i].Dynamic()) continue;
        const auto now = ObjectValue(d_.objects[i]);
        if (now != ObjectValue(original_.objects[i])) {
            lines.push_back("object " +
                            HexText({static_cast<std::uint8_t>(d_.objects[i].tag >> 8),
                                     static_cast<std::uint8_t>(d_.objects[i].tag)})
                                .substr(d_.objects[i].tag > 0xFF ? 0 : 2) +
                            " " + HexText(now));
        }
    }
    for (std::size_t i = 0; i < d_.pins.size(); ++i) {
        const std::string ref = HexText({d_.pins[i].refs[0]});
        if (retries_[i] != d_.pins[i].retries) {
            lines.push_back("pin " + ref + " retries " + std::to_string(retries_[i]) + "/" +
                            std::to_string(d_.pins[i].retries));
        }
        if (d_.pins[i].value != original_.pins[i].value) lines.push_back("pin " + ref + " changed");
    }
    for (std::size_t i = 0; i < d_.counters.size(); ++i) {
        if (d_.counters[i].value != original_.counters[i].value) {
            lines.push_back("counter " + d_.counters[i].name + " " + std::to_string(d_.counters[i].value));
        }
    }
    return lines;
}

}  // namespace ryx::sim::card
