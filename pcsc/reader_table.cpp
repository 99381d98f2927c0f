// The table of open readers. Lookups hand out shared references, so a channel closed while another thread still
// works on the reader only closes the ryx handle once that call has returned.
#include "pcsc/reader_table.h"

#include <map>

namespace ryx::pcsc {

namespace {

struct Table {
    std::mutex mutex;
    std::map<std::uint32_t, std::shared_ptr<Reader>> readers;
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

std::shared_ptr<Reader> FindReader(DWORD lun) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    const auto it = t.readers.find(ReaderIndex(lun));
    return it == t.readers.end() ? nullptr : it->second;
}

void InsertReader(std::uint32_t index, std::shared_ptr<Reader> reader) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    t.readers.emplace(index, std::move(reader));
}

std::shared_ptr<Reader> RemoveReader(std::uint32_t index) {
    Table& t = TheTable();
    std::shared_ptr<Reader> out;
    std::lock_guard lock(t.mutex);
    const auto it = t.readers.find(index);
    if (it != t.readers.end()) {
        out = std::move(it->second);
        t.readers.erase(it);
    }
    return out;
}

std::mutex& ChannelMutex() noexcept {
    static std::mutex mutex;
    return mutex;
}

}  // namespace ryx::pcsc
