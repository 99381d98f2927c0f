// Reading a card description with toml++. Every value is checked here, with its line, so that the engine can trust
// the Description it is given.
#include "sim/card/description.h"

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

#include "sim/hex_text.h"

namespace ryx::sim::card {

std::string File::PathText() const {
    std::string t;
    for (const std::uint16_t fid : path) {
        if (!t.empty()) t += '/';
        t += HexText({static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)});
    }
    return t;
}

bool DataObject::Dynamic() const {
    return !parts.empty() ||
           std::any_of(value.begin(), value.end(), [](const Piece& p) { return p.kind != Piece::Kind::Bytes; });
}

namespace {

// Hex bytes with optional spaces or colons between them; false for anything else.
bool Hex(std::string_view text, std::vector<std::uint8_t>* out) {
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == '\t') continue;
        digits += c;
    }
    return ParseHexDigits(digits, out);
}

class Reader {
public:
    Reader(std::string source, std::string directory) : source_(std::move(source)), directory_(std::move(directory)) {}

    std::optional<Description> Read(const toml::table& root);
    const std::string& error() const { return error_; }
    // An error at a line (0: none known); always false.
    bool Fail(std::uint32_t line, const std::string& what) {
        if (error_.empty()) error_ = source_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what;
        return false;
    }
    bool Fail(const toml::node& node, const std::string& what) { return Fail(node.source().begin.line, what); }

private:
    bool Keys(const toml::table& t, const char* what, std::initializer_list<std::string_view> allowed);
    const toml::node* Need(const toml::table& t, const char* key, const char* what);
    bool String(const toml::node& n, const char* key, std::string* out);
    bool HexValue(const toml::node& n, const char* key, std::vector<std::uint8_t>* out);
    bool Byte(const toml::node& n, const char* key, std::uint8_t* out);
    bool Number(const toml::node& n, const char* key, std::int64_t min, std::int64_t max, std::int64_t* out);
    bool Bool(const toml::node& n, const char* key, bool* out);
    bool Sw(const toml::node& n, const char* key, std::uint16_t* out);
    bool ReadAccess(const toml::node& n, const char* key, Access* out);
    bool Contents(const toml::table& t, const char* what, std::vector<std::uint8_t>* out, bool* given);
    bool Template(const toml::node& n, std::vector<Piece>* out);

    bool Pins(const toml::node& n);
    bool Files(const toml::node& n);
    // One [[file]], in the order its keys are checked: the path, the type and the keys the type allows, the
    // name, SFI and access, the contents, and its place among the files read before it.
    bool OneFile(const toml::table& t);
    bool FilePath(const toml::node& p, const std::string& text, std::vector<std::uint16_t>* path);
    bool FileAttributes(const toml::table& t, File* file);
    bool FileContents(const toml::table& t, File* file);
    bool PlaceFile(const toml::table& t, File f);
    bool Objects(const toml::node& n);
    bool Counters(const toml::node& n);
    bool Rules(const toml::node& n);
    // For the checks once everything is read.
    bool PinKnown(std::uint8_t ref) const;
    std::optional<std::size_t> CounterIndex(const std::string& name) const;

    std::string source_, directory_, error_;
    Description d_;
    std::vector<std::pair<std::uint32_t, Access>> accesses_;           // to check their PINs exist
    std::vector<std::pair<std::uint32_t, std::uint8_t>> retryPieces_;  // likewise
};

bool Reader::Keys(const toml::table& t, const char* what, std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, node] : t) {
        if (std::find(allowed.begin(), allowed.end(), key.str()) == allowed.end()) {
            return Fail(node, "unknown key '" + std::string(key.str()) + "' in " + what);
        }
    }
    return true;
}

const toml::node* Reader::Need(const toml::table& t, const char* key, const char* what) {
    const toml::node* n = t.get(key);
    if (n == nullptr) Fail(t, std::string(what) + " needs '" + key + "'");
    return n;
}

bool Reader::String(const toml::node& n, const char* key, std::string* out) {
    if (!n.is_string()) return Fail(n, std::string("'") + key + "' must be a string");
    *out = *n.value<std::string>();
    return true;
}

bool Reader::HexValue(const toml::node& n, const char* key, std::vector<std::uint8_t>* out) {
    std::string text;
    if (!String(n, key, &text)) return false;
    if (!Hex(text, out)) return Fail(n, std::string("'") + key + "' must be hex bytes, not \"" + text + "\"");
    return true;
}

bool Reader::Byte(const toml::node& n, const char* key, std::uint8_t* out) {
    std::vector<std::uint8_t> bytes;
    if (n.is_integer()) {
        const std::int64_t v = *n.value<std::int64_t>();
        if (v < 0 || v > 0xFF) return Fail(n, std::string("'") + key + "' must be one byte (0 to 0xFF)");
        *out = static_cast<std::uint8_t>(v);
        return true;
    }
    if (!n.is_string() || !Hex(*n.value<std::string>(), &bytes) || bytes.size() != 1) {
        return Fail(n, std::string("'") + key + "' must be one byte, e.g. \"81\" or 0x81");
    }
    *out = bytes[0];
    return true;
}

bool Reader::Number(const toml::node& n, const char* key, std::int64_t min, std::int64_t max, std::int64_t* out) {
    if (!n.is_integer() || *n.value<std::int64_t>() < min || *n.value<std::int64_t>() > max) {
        return Fail(n, std::string("'") + key + "' must be a whole number from " + std::to_string(min) + " to " +
                           std::to_string(max));
    }
    *out = *n.value<std::int64_t>();
    return true;
}

bool Reader::Bool(const toml::node& n, const char* key, bool* out) {
    if (!n.is_boolean()) return Fail(n, std::string("'") + key + "' must be true or false");
    *out = *n.value<bool>();
    return true;
}

bool Reader::Sw(const toml::node& n, const char* key, std::uint16_t* out) {
    std::vector<std::uint8_t> bytes;
    if (!n.is_string() || !Hex(*n.value<std::string>(), &bytes) || bytes.size() != 2) {
        return Fail(n, std::string("'") + key + "' must be two hex bytes, e.g. \"6A 82\"");
    }
    *out = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    return true;
}

bool Reader::ReadAccess(const toml::node& n, const char* key, Access* out) {
    std::string text;
    if (!String(n, key, &text)) return false;
    std::vector<std::uint8_t> ref;
    if (text == "always") {
        *out = {};
    } else if (text == "never") {
        *out = {Access::Kind::Never, 0};
    } else if (text.rfind("pin ", 0) == 0 && Hex(text.substr(4), &ref) && ref.size() == 1) {
        *out = {Access::Kind::Pin, ref[0]};
        accesses_.push_back({n.source().begin.line, *out});
    } else {
        return Fail(n, std::string("'") + key + "' must be \"always\", \"never\" or \"pin XX\", not \"" + text + "\"");
    }
    return true;
}

// `data` (hex), `text` (its UTF-8 bytes) or `file` (the bytes of a file beside the description): at most one.
bool Reader::Contents(const toml::table& t, const char* what, std::vector<std::uint8_t>* out, bool* given) {
    *given = false;
    for (const char* key : {"data", "text", "file"}) {
        const toml::node* n = t.get(key);
        if (n == nullptr) continue;
        if (*given) return Fail(*n, std::string(what) + " takes one of 'data', 'text' and 'file'");
        *given = true;
        std::string s;
        if (std::string_view(key) == "data") {
            if (!HexValue(*n, key, out)) return false;
        } else if (!String(*n, key, &s)) {
            return false;
        } else if (std::string_view(key) == "text") {
            out->assign(s.begin(), s.end());
        } else {
            if (directory_.empty()) return Fail(*n, "contents files are not read here");
            const std::string path = s.size() > 0 && s[0] == '/' ? s : directory_ + "/" + s;
            std::ifstream in(path, std::ios::binary);
            if (!in) return Fail(*n, "cannot read the contents file " + path);
            out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return true;
}

// Hex bytes with "{retries XX}" (a PIN's retries left) and "{counter NAME}" (a counter) among them.
bool Reader::Template(const toml::node& n, std::vector<Piece>* out) {
    std::string text;
    if (!String(n, "value", &text)) return false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t open = text.find('{', at);
        std::vector<std::uint8_t> bytes;
        if (!Hex(text.substr(at, open == std::string::npos ? std::string::npos : open - at), &bytes)) {
            return Fail(n, "'value' must be hex bytes and {retries XX} or {counter NAME}, not \"" + text + "\"");
        }
        if (!bytes.empty()) out->push_back({Piece::Kind::Bytes, bytes, 0, 0});
        if (open == std::string::npos) break;
        const std::size_t close = text.find('}', open);
        if (close == std::string::npos) return Fail(n, "'value' has a '{' without its '}'");
        const std::string inner = text.substr(open + 1, close - open - 1);
        std::vector<std::uint8_t> ref;
        if (inner.rfind("retries ", 0) == 0 && Hex(inner.substr(8), &ref) && ref.size() == 1) {
            out->push_back({Piece::Kind::Retries, {}, ref[0], 0});
            retryPieces_.push_back({n.source().begin.line, ref[0]});
        } else if (inner.rfind("counter ", 0) == 0) {
            const auto index = CounterIndex(inner.substr(8));
            if (!index) return Fail(n, "no counter named '" + inner.substr(8) + "' (declare it in [[counter]] first)");
            out->push_back({Piece::Kind::Counter, {}, 0, *index});
        } else {
            return Fail(n, "unknown dynamic value '{" + inner + "}' ({retries XX} or {counter NAME})");
        }
        at = close + 1;
    }
    return true;
}

template <typename F>
bool EachTable(Reader& r, const toml::node& n, const char* what, F&& f) {
    const toml::array* array = n.as_array();
    if (array == nullptr) return r.Fail(n, std::string("'") + what + "' must be an array of tables ([[" + what + "]])");
    for (const toml::node& item : *array) {
        const toml::table* t = item.as_table();
        if (t == nullptr) return r.Fail(item, std::string("each '") + what + "' must be a table");
        if (!f(*t)) return false;
    }
    return true;
}

bool Reader::PinKnown(std::uint8_t ref) const {
    return std::any_of(d_.pins.begin(), d_.pins.end(),
                       [ref](const Pin& p) { return std::find(p.refs.begin(), p.refs.end(), ref) != p.refs.end(); });
}

std::optional<std::size_t> Reader::CounterIndex(const std::string& name) const {
    for (std::size_t i = 0; i < d_.counters.size(); ++i) {
        if (d_.counters[i].name == name) return i;
    }
    return std::nullopt;
}

bool Reader::Pins(const toml::node& n) {
    return EachTable(*this, n, "pin", [&](const toml::table& t) {
        if (!Keys(t, "a [[pin]]", {"ref", "refs", "value", "min", "max", "retries", "reset_code", "unblocked_by"})) {
            return false;
        }
        Pin pin;
        if (const toml::node* r = t.get("ref")) {
            pin.refs.resize(1);
            if (!Byte(*r, "ref", &pin.refs[0])) return false;
        } else if (const toml::node* rs = t.get("refs"); rs != nullptr && rs->is_array()) {
            for (const toml::node& item : *rs->as_array()) {
                std::uint8_t ref = 0;
                if (!Byte(item, "refs", &ref)) return false;
                pin.refs.push_back(ref);
            }
        }
        if (pin.refs.empty()) return Fail(t, "a [[pin]] needs 'ref' (or 'refs', a list)");
        for (const std::uint8_t ref : pin.refs) {
            if (PinKnown(ref)) return Fail(t, "two PINs have the reference " + std::to_string(ref));
        }
        std::string value;
        const toml::node* v = Need(t, "value", "a [[pin]]");
        if (v == nullptr || !String(*v, "value", &value)) return false;
        pin.value.assign(value.begin(), value.end());
        std::int64_t number = 0;
        if (const toml::node* x = t.get("min")) {
            if (!Number(*x, "min", 1, 255, &number)) return false;
            pin.minLength = static_cast<std::size_t>(number);
        }
        if (const toml::node* x = t.get("max")) {
            if (!Number(*x, "max", 1, 255, &number)) return false;
            pin.maxLength = static_cast<std::size_t>(number);
        }
        if (pin.value.size() < pin.minLength || pin.value.size() > pin.maxLength) {
            return Fail(*v, "the PIN's value is not from 'min' to 'max' characters long");
        }
        if (const toml::node* x = t.get("retries")) {
            if (!Number(*x, "retries", 1, 15, &number)) return false;
            pin.retries = static_cast<unsigned>(number);
        }
        if (const toml::node* x = t.get("reset_code")) {
            if (!String(*x, "reset_code", &value)) return false;
            pin.resetCode = std::vector<std::uint8_t>(value.begin(), value.end());
        }
        if (const toml::node* x = t.get("unblocked_by")) {
            std::uint8_t ref = 0;
            if (!Byte(*x, "unblocked_by", &ref)) return false;
            pin.unblocker = ref;
            accesses_.push_back({x->source().begin.line, {Access::Kind::Pin, ref}});
        }
        d_.pins.push_back(std::move(pin));
        return true;
    });
}

bool Reader::Files(const toml::node& n) {
    return EachTable(*this, n, "file", [&](const toml::table& t) { return OneFile(t); });
}

bool Reader::OneFile(const toml::table& t) {
    if (!Keys(t, "a [[file]]",
              {"path", "type", "name", "sfi", "data", "text", "file", "size", "records", "read", "update"})) {
        return false;
    }
    File f;
    std::string text;
    const toml::node* p = Need(t, "path", "a [[file]]");
    if (p == nullptr || !String(*p, "path", &text) || !FilePath(*p, text, &f.path)) return false;
    if (const toml::node* x = t.get("type")) {
        if (!String(*x, "type", &text)) return false;
        if (text == "df") {
            f.kind = File::Kind::Df;
        } else if (text == "records") {
            f.kind = File::Kind::Records;
        } else if (text != "binary") {
            return Fail(*x, "'type' must be \"df\", \"binary\" or \"records\", not \"" + text + "\"");
        }
    }
    const bool mf = f.path.size() == 1;
    if (mf && f.kind != File::Kind::Df) return Fail(*p, "the MF is a DF (type = \"df\")");
    const bool df = f.kind == File::Kind::Df;
    auto onlyFor = [&](const char* key, bool allowed, const char* kind) {
        const toml::node* x = t.get(key);
        return x == nullptr || allowed || Fail(*x, std::string("'") + key + "' is for " + kind + " only");
    };
    if (!onlyFor("name", df, "a DF") || !onlyFor("sfi", !df, "an EF") || !onlyFor("read", !df, "an EF") ||
        !onlyFor("update", !df, "an EF") || !onlyFor("records", f.kind == File::Kind::Records, "records") ||
        !onlyFor("size", f.kind == File::Kind::Binary, "a binary EF")) {
        return false;
    }
    return FileAttributes(t, &f) && FileContents(t, &f) && PlaceFile(t, std::move(f));
}

bool Reader::FilePath(const toml::node& p, const std::string& text, std::vector<std::uint16_t>* path) {
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t slash = std::min(text.find('/', at), text.size());
        std::vector<std::uint8_t> fid;
        if (!Hex(text.substr(at, slash - at), &fid) || fid.size() != 2) {
            return Fail(p, "'path' must be file identifiers from 3F00 on, e.g. \"3F00/5015/4401\"");
        }
        path->push_back(static_cast<std::uint16_t>(fid[0] << 8 | fid[1]));
        at = slash + 1;
    }
    if ((*path)[0] != 0x3F00) return Fail(p, "'path' must begin at the MF, 3F00");
    if (path->size() > 1 && path->back() == 0x3F00) return Fail(p, "only the MF is 3F00");
    return true;
}

bool Reader::FileAttributes(const toml::table& t, File* file) {
    File& f = *file;
    if (const toml::node* x = t.get("name")) {
        if (!HexValue(*x, "name", &f.name)) return false;
        if (f.name.empty() || f.name.size() > 16) return Fail(*x, "a DF name is 1 to 16 bytes");
    }
    if (const toml::node* x = t.get("sfi")) {
        std::int64_t sfi = 0;
        if (!Number(*x, "sfi", 1, 30, &sfi)) return false;
        f.sfi = static_cast<std::uint8_t>(sfi);
    }
    if (const toml::node* x = t.get("read"); x != nullptr && !ReadAccess(*x, "read", &f.read)) return false;
    if (const toml::node* x = t.get("update")) {
        if (!ReadAccess(*x, "update", &f.update)) return false;
    } else {
        f.update = {Access::Kind::Never, 0};
    }
    return true;
}

bool Reader::FileContents(const toml::table& t, File* file) {
    File& f = *file;
    bool given = false;
    if (!Contents(t, "a [[file]]", &f.data, &given)) return false;
    if (given && f.kind != File::Kind::Binary) return Fail(t, "only a binary EF has contents");
    if (const toml::node* x = t.get("size")) {
        std::int64_t size = 0;
        if (!Number(*x, "size", 0, 65535, &size)) return false;
        if (static_cast<std::size_t>(size) < f.data.size()) return Fail(*x, "'size' is less than the contents");
        f.data.resize(static_cast<std::size_t>(size), 0x00);
    }
    if (f.data.size() > 0x7FFF) return Fail(t, "a binary EF holds at most 32767 bytes");
    if (const toml::node* x = t.get("records")) {
        if (!x->is_array()) return Fail(*x, "'records' must be a list of hex strings");
        for (const toml::node& item : *x->as_array()) {
            f.records.emplace_back();
            if (!HexValue(item, "records", &f.records.back())) return false;
            if (f.records.back().empty() || f.records.back().size() > 255) {
                return Fail(item, "a record is 1 to 255 bytes");
            }
        }
        if (f.records.size() > 254) return Fail(*x, "at most 254 records");
    }
    return true;
}

bool Reader::PlaceFile(const toml::table& t, File f) {
    const bool mf = f.path.size() == 1;
    // Its DF must come first, and no two files share a path, a name, or an SFI within a DF.
    const std::uint32_t line = t.source().begin.line;
    if (mf) {
        if (!d_.files.empty()) return Fail(line, "the MF is described twice, or after other files");
    } else {
        if (d_.files.empty()) d_.files.push_back(File{File::Kind::Df, {0x3F00}, {}, {}, {}, {}, {}, {}});
        const std::vector<std::uint16_t> parent(f.path.begin(), f.path.end() - 1);
        bool found = false;
        for (const File& other : d_.files) {
            if (other.path == f.path) return Fail(line, "two files have the path " + f.PathText());
            if (other.path == parent) {
                if (other.kind != File::Kind::Df) return Fail(line, "the file above " + f.PathText() + " is an EF");
                found = true;
            }
            if (f.sfi && other.sfi == f.sfi &&
                std::equal(parent.begin(), parent.end(), other.path.begin(), other.path.end() - 1) &&
                other.path.size() == f.path.size()) {
                return Fail(line, "two EFs in one DF have the SFI " + std::to_string(*f.sfi));
            }
            if (!f.name.empty() && other.name == f.name) return Fail(line, "two DFs have the same name");
        }
        if (!found) return Fail(line, "the DF above " + f.PathText() + " is not described before it");
    }
    d_.files.push_back(std::move(f));
    return true;
}

bool Reader::Counters(const toml::node& n) {
    return EachTable(*this, n, "counter", [&](const toml::table& t) {
        if (!Keys(t, "a [[counter]]", {"name", "size", "value"})) return false;
        Counter c;
        const toml::node* x = Need(t, "name", "a [[counter]]");
        if (x == nullptr || !String(*x, "name", &c.name)) return false;
        if (CounterIndex(c.name)) return Fail(*x, "two counters are named '" + c.name + "'");
        std::int64_t number = 0;
        if (const toml::node* s = t.get("size")) {
            if (!Number(*s, "size", 1, 4, &number)) return false;
            c.size = static_cast<std::size_t>(number);
        }
        if (const toml::node* v = t.get("value")) {
            const std::int64_t max = (std::int64_t{1} << (8 * c.size)) - 1;
            if (!Number(*v, "value", 0, max, &number)) return false;
            c.value = static_cast<std::uint32_t>(number);
        }
        d_.counters.push_back(std::move(c));
        return true;
    });
}

bool Reader::Objects(const toml::node& n) {
    return EachTable(*this, n, "object", [&](const toml::table& t) {
        if (!Keys(t, "an [[object]]", {"tag", "value", "data", "text", "file", "parts", "read", "write", "max"})) {
            return false;
        }
        DataObject o;
        std::vector<std::uint8_t> bytes;
        const toml::node* tag = Need(t, "tag", "an [[object]]");
        if (tag == nullptr || !HexValue(*tag, "tag", &bytes)) return false;
        if (bytes.empty() || bytes.size() > 2 || (bytes.size() == 2 && bytes[0] == 0)) {
            return Fail(*tag, "'tag' is one or two bytes, e.g. \"5F50\"");
        }
        o.tag = static_cast<std::uint16_t>(bytes.size() == 1 ? bytes[0] : bytes[0] << 8 | bytes[1]);
        for (const DataObject& other : d_.objects) {
            if (other.tag == o.tag) return Fail(*tag, "two objects have the tag " + *tag->value<std::string>());
        }
        bool given = false;
        if (!Contents(t, "an [[object]]", &bytes, &given)) return false;
        if (given) o.value.push_back({Piece::Kind::Bytes, bytes, 0, 0});
        if (const toml::node* v = t.get("value")) {
            if (given) return Fail(*v, "an [[object]] takes one of 'value', 'data', 'text', 'file' and 'parts'");
            given = true;
            if (!Template(*v, &o.value)) return false;
        }
        if (const toml::node* p = t.get("parts")) {
            if (given) return Fail(*p, "an [[object]] takes one of 'value', 'data', 'text', 'file' and 'parts'");
            if (!p->is_array()) return Fail(*p, "'parts' must be a list of tags");
            for (const toml::node& item : *p->as_array()) {
                bool found = false;
                if (!HexValue(item, "parts", &bytes)) return false;
                const std::uint16_t part = static_cast<std::uint16_t>(bytes.size() == 1   ? bytes[0]
                                                                      : bytes.size() == 2 ? bytes[0] << 8 | bytes[1]
                                                                                          : 0);
                for (const DataObject& other : d_.objects) found = found || (other.tag == part && !bytes.empty());
                if (!found)
                    return Fail(item, "part '" + *item.value<std::string>() + "' is not an object described before");
                o.parts.push_back(part);
            }
            if (o.parts.empty()) return Fail(*p, "'parts' is empty");
        }
        if (const toml::node* x = t.get("read"); x != nullptr && !ReadAccess(*x, "read", &o.read)) return false;
        if (const toml::node* x = t.get("write"); x != nullptr && !ReadAccess(*x, "write", &o.write)) return false;
        if (const toml::node* x = t.get("max")) {
            std::int64_t max = 0;
            if (!Number(*x, "max", 0, 65535, &max)) return false;
            o.maxLength = static_cast<std::size_t>(max);
        }
        if (o.Dynamic() && o.write.kind != Access::Kind::Never) {
            return Fail(t, "a constructed or computed object cannot be written ('write' must be \"never\")");
        }
        d_.objects.push_back(std::move(o));
        return true;
    });
}

bool Reader::Rules(const toml::node& n) {
    return EachTable(*this, n, "rule", [&](const toml::table& t) {
        if (!Keys(t, "a [[rule]]", {"command", "selected", "verified", "data", "sw", "count"})) return false;
        Rule r;
        const toml::node* c = Need(t, "command", "a [[rule]]");
        if (c == nullptr || !String(*c, "command", &r.pattern)) return false;
        std::string pattern = r.pattern;
        while (!pattern.empty() && pattern.back() == ' ') pattern.pop_back();
        if (!pattern.empty() && pattern.back() == '*') {
            r.prefix = true;
            pattern.pop_back();
        }
        std::size_t nibbles = 0;
        for (const char ch : pattern) {
            const bool nibble = std::isxdigit(static_cast<unsigned char>(ch)) != 0 || ch == 'X' || ch == 'x';
            if (!nibble && ch != ' ') {
                return Fail(*c, "'command' must be hex digits, X for any nibble, and a closing * for any rest");
            }
            nibbles += nibble ? 1 : 0;
        }
        if (nibbles % 2 != 0 || nibbles < (r.prefix ? 4u : 8u)) {
            return Fail(*c, "'command' must cover whole bytes: the 4 of the header, or CLA INS and a closing *");
        }
        r.pattern = pattern;
        if (const toml::node* x = t.get("selected")) {
            r.selected.emplace();
            if (!HexValue(*x, "selected", &*r.selected)) return false;
        }
        if (const toml::node* x = t.get("verified")) {
            r.verified = 0;
            if (!Byte(*x, "verified", &*r.verified)) return false;
            accesses_.push_back({x->source().begin.line, {Access::Kind::Pin, *r.verified}});
        }
        if (const toml::node* x = t.get("data"); x != nullptr && !HexValue(*x, "data", &r.response)) return false;
        std::uint16_t sw = 0x9000;
        if (const toml::node* x = t.get("sw"); x != nullptr && !Sw(*x, "sw", &sw)) return false;
        r.response.push_back(static_cast<std::uint8_t>(sw >> 8));
        r.response.push_back(static_cast<std::uint8_t>(sw));
        if (const toml::node* x = t.get("count")) {
            std::string name;
            if (!String(*x, "count", &name)) return false;
            r.counts = CounterIndex(name);
            if (!r.counts) return Fail(*x, "no counter named '" + name + "'");
        }
        d_.rules.push_back(std::move(r));
        return true;
    });
}

std::optional<Description> Reader::Read(const toml::table& root) {
    if (!Keys(root, "the card description",
              {"atr", "protocol", "extended", "unknown_sw", "pin", "file", "counter", "object", "rule"})) {
        return std::nullopt;
    }
    const toml::node* atr = root.get("atr");
    if (atr == nullptr) return Fail(1, "the card description needs 'atr'"), std::nullopt;
    if (!HexValue(*atr, "atr", &d_.atr)) return std::nullopt;
    if (d_.atr.size() < 2 || d_.atr.size() > 33) return Fail(*atr, "an ATR is 2 to 33 bytes"), std::nullopt;
    if (const toml::node* x = root.get("protocol")) {
        std::string text;
        if (!String(*x, "protocol", &text)) return std::nullopt;
        if (text != "T=0" && text != "T=1") return Fail(*x, "'protocol' must be \"T=0\" or \"T=1\""), std::nullopt;
        d_.t0 = text == "T=0";
    }
    if (const toml::node* x = root.get("extended"); x != nullptr && !Bool(*x, "extended", &d_.extended)) {
        return std::nullopt;
    }
    if (d_.t0 && d_.extended) return Fail(*root.get("extended"), "a T=0 card takes no extended APDUs"), std::nullopt;
    if (const toml::node* x = root.get("unknown_sw"); x != nullptr && !Sw(*x, "unknown_sw", &d_.unknownSw)) {
        return std::nullopt;
    }
    // Counters before the objects and rules that name them, PINs before the checks of references.
    for (const char* key : {"pin", "file", "counter", "object", "rule"}) {
        const toml::node* x = root.get(key);
        if (x == nullptr) continue;
        const std::string_view k = key;
        const bool ok = k == "pin"       ? Pins(*x)
                        : k == "file"    ? Files(*x)
                        : k == "counter" ? Counters(*x)
                        : k == "object"  ? Objects(*x)
                                         : Rules(*x);
        if (!ok) return std::nullopt;
    }
    if (d_.files.empty()) d_.files.push_back(File{File::Kind::Df, {0x3F00}, {}, {}, {}, {}, {}, {}});
    for (const auto& [line, access] : accesses_) {
        if (!PinKnown(access.pin))
            return Fail(line, "no PIN has the reference " + std::to_string(access.pin)), std::nullopt;
    }
    for (const auto& [line, ref] : retryPieces_) {
        if (!PinKnown(ref)) return Fail(line, "no PIN has the reference " + std::to_string(ref)), std::nullopt;
    }
    return std::move(d_);
}

}  // namespace

std::optional<Description> ParseDescription(std::string_view text, const std::string& source,
                                            const std::string& directory, std::string* error) {
    // toml++ 3.3 reaches an "unreachable" point on many non-ASCII characters where it looks for white space, so a
    // description is ASCII; other text goes in as hex ('data').
    std::size_t line = 1;
    for (const char c : text) {
        if (c == '\n') ++line;
        if (static_cast<unsigned char>(c) >= 0x80) {
            *error =
                source + ":" + std::to_string(line) + ": a card description is ASCII (give other text as hex 'data')";
            return std::nullopt;
        }
    }
    toml::parse_result parsed = toml::parse(text, source);
    if (!parsed) {
        const toml::parse_error& e = parsed.error();
        *error = source + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return std::nullopt;
    }
    Reader reader(source, directory);
    auto d = reader.Read(parsed.table());
    if (!d) *error = reader.error();
    return d;
}

std::optional<Description> LoadDescription(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot read the card description";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::size_t slash = path.rfind('/');
    return ParseDescription(text.str(), path, slash == std::string::npos ? "." : path.substr(0, slash), error);
}

}  // namespace ryx::sim::card
