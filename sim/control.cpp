#include "sim/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sim/described_card.h"
#include "sim/hex_text.h"
#include "sim/wake_pipe.h"

namespace ryx::sim {
namespace {

// A client that sends more than this without a newline is not sending commands.
constexpr std::size_t kMaxLine = 4096;

using Args = std::vector<std::string>;

std::string Ok(const std::string& info = {}) {
    return info + "ok\n";
}

std::string Error(const std::string& why) {
    return "error: " + why + "\n";
}

struct Command {
    const char* name;
    const char* usage;  // the arguments
    const char* help;
    std::size_t minArgs;
    std::size_t maxArgs;  // the hex of an ATR may be split by spaces: it takes the rest of the line
    std::string (*run)(Simulator& reader, const Args& args);
};

// The slot named by args[0], or an error answer in *error.
bool ParseSlot(const Simulator& reader, const std::string& text, std::size_t* slot, std::string* error) {
    const std::size_t count = reader.SlotCount();
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *slot);
    if (ec != std::errc() || end != text.data() + text.size()) {
        *error = Error("bad slot '" + text + "' (a number from 0 to " + std::to_string(count - 1) + ")");
        return false;
    }
    if (*slot >= count) {
        *error = Error("no slot " + text + " (the " + std::string(ModelName(reader.GetModel())) + " has slots 0 to " +
                       std::to_string(count - 1) + ")");
        return false;
    }
    return true;
}

// The ATR in args from `first` on (hex, spaces allowed), or an error answer in *error.
bool ParseAtr(const Args& args, std::size_t first, std::vector<std::uint8_t>* atr, std::string* error) {
    std::string text;
    for (std::size_t i = first; i < args.size(); ++i) text += args[i];
    if (!ParseHexBytes(text, atr)) {
        *error = Error("bad ATR '" + text + "' (hex bytes, e.g. 3B021450)");
        return false;
    }
    return true;
}

std::string Status(Simulator& reader, const Args&) {
    std::ostringstream t;
    const bool there = reader.Running();
    t << "reader " << (there ? "there" : "gone") << " model=" << ModelName(reader.GetModel());
    if (there) t << " rate=" << reader.Rate() << " port=" << reader.SlavePath();
    if (const std::string link = reader.Link(); !link.empty()) t << " link=" << link;
    t << '\n';
    for (std::size_t slot = 0; slot < reader.SlotCount(); ++slot) {
        const SlotCard card = reader.Card(slot);
        t << "slot " << slot << " card=";
        if (!card.present) {
            t << "none\n";
            continue;
        }
        t << (card.mute              ? "mute"
              : reader.Powered(slot) ? "powered"
                                     : "inactive")
          << " atr=" << HexText(card.atr) << '\n';
        if (card.logic) {
            for (const std::string& change : card.logic->Changes()) t << "  " << change << '\n';
        }
    }
    return Ok(t.str());
}

std::string Insert(Simulator& reader, const Args& args) {
    std::string error;
    std::size_t slot = 0;
    if (!ParseSlot(reader, args[0], &slot, &error)) return error;
    if (reader.Card(slot).present) return Error("slot " + args[0] + " already holds a card (remove it first)");
    std::vector<std::uint8_t> atr(kDefaultAtr.begin(), kDefaultAtr.end());
    // One word that is not hex bytes names a card description.
    if (args.size() == 2 && !LooksLikeHex(args[1])) {
        auto card = LoadCardFile(args[1], &error);
        if (!card) return Error(error);
        reader.InsertCard(slot, std::move(*card));
        return Ok();
    }
    if (args.size() > 1 && !ParseAtr(args, 1, &atr, &error)) return error;
    reader.InsertCard(slot, atr);
    return Ok();
}

std::string Remove(Simulator& reader, const Args& args) {
    std::string error;
    std::size_t slot = 0;
    if (!ParseSlot(reader, args[0], &slot, &error)) return error;
    if (!reader.Card(slot).present) return Error("slot " + args[0] + " holds no card");
    reader.RemoveCard(slot);
    return Ok();
}

std::string Atr(Simulator& reader, const Args& args) {
    std::string error;
    std::size_t slot = 0;
    std::vector<std::uint8_t> atr;
    if (!ParseSlot(reader, args[0], &slot, &error) || !ParseAtr(args, 1, &atr, &error)) return error;
    if (!reader.SetAtr(slot, atr)) return Error("slot " + args[0] + " holds no card");
    return Ok();
}

std::string Mute(Simulator& reader, const Args& args) {
    std::string error;
    std::size_t slot = 0;
    if (!ParseSlot(reader, args[0], &slot, &error)) return error;
    if (args[1] != "on" && args[1] != "off") return Error("mute takes on or off, not '" + args[1] + "'");
    if (!reader.Card(slot).present) return Error("slot " + args[0] + " holds no card");
    reader.SetMute(slot, args[1] == "on");
    return Ok();
}

std::string Vanish(Simulator& reader, const Args&) {
    if (!reader.Running()) return Error("the reader is already gone");
    reader.Stop();
    return Ok();
}

std::string Return(Simulator& reader, const Args&) {
    if (reader.Running()) return Error("the reader is already there");
    if (!reader.Replug()) {
        const int saved = errno;
        if (reader.Running()) {
            return Error("the reader is back at " + reader.SlavePath() + " but the link " + reader.Link() +
                         " cannot be made: " + std::strerror(saved));
        }
        return Error(std::string("cannot plug the reader in again: ") + std::strerror(saved));
    }
    return Ok("port " + reader.SlavePath() + "\n");
}

std::string Help(Simulator&, const Args&);

const Command kCommands[] = {
    {"help", "", "these lines", 0, 0, Help},
    {"status", "",
     "the reader (there or gone, model, line speed, port, link), then each slot's card\n"
     "(none, inactive, powered or mute, and its ATR), under it what a described card\n"
     "changed (file PATH HEX, object TAG HEX, pin REF retries N/M, pin REF changed)",
     0, 0, Status},
    {"insert", "SLOT [ATRHEX|FILE]",
     "put a card in an empty slot: the built-in card (with this ATR, default its own),\n"
     "or the card the description FILE describes",
     1, SIZE_MAX, Insert},
    {"remove", "SLOT", "take the card out of the slot", 1, 1, Remove},
    {"atr", "SLOT ATRHEX", "the slot's card answers its next power-on with this ATR", 2, SIZE_MAX, Atr},
    {"mute", "SLOT on|off", "the slot's card stops (on) or starts again (off) answering power-on", 2, 2, Mute},
    {"vanish", "", "the reader is unplugged: the terminal closes, the --link goes", 0, 0, Vanish},
    {"return", "",
     "the reader is plugged in again: a new terminal at its own line speed, the --link\n"
     "pointing at it, every card unpowered; answers \"port PATH\" before \"ok\"",
     0, 0, Return},
};

std::string Help(Simulator&, const Args&) {
    return Ok(ControlHelp());
}

}  // namespace

std::string ControlHelp() {
    constexpr std::size_t kColumn = 22;
    std::string t;
    for (const Command& c : kCommands) {
        std::string usage = std::string(c.name) + (*c.usage != '\0' ? std::string(" ") + c.usage : "");
        t += usage.size() + 1 > kColumn ? usage + "\n" + std::string(kColumn, ' ')
                                        : usage + std::string(kColumn - usage.size(), ' ');
        for (const char* p = c.help; *p != '\0'; ++p) {
            t += *p;
            if (*p == '\n') t += std::string(kColumn, ' ');
        }
        t += '\n';
    }
    return t;
}

std::string RunControlCommand(Simulator& reader, std::string_view line) {
    std::istringstream in{std::string(line)};
    std::string name;
    if (!(in >> name)) return Ok();
    Args args;
    for (std::string word; in >> word;) args.push_back(word);
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        if (args.size() < c.minArgs || args.size() > c.maxArgs) {
            return Error(std::string("usage: ") + c.name + (*c.usage != '\0' ? std::string(" ") + c.usage : ""));
        }
        return c.run(reader, args);
    }
    return Error("unknown command '" + name + "' (help lists the commands)");
}

// ---- the server --------------------------------------------------------------------------------------------------

namespace {

bool FillAddress(const std::string& path, sockaddr_un* address, std::string* why) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        *why = "the control socket path '" + path + "' is empty or longer than " +
               std::to_string(sizeof address->sun_path - 1) + " bytes";
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when a simulator answers at the socket.
bool Live(const sockaddr_un& address) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

bool SendAll(int fd, const std::string& text) {
    for (std::size_t off = 0; off < text.size();) {
        const ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

struct Client {
    int fd;
    std::string pending;
};

}  // namespace

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(const std::string& path, std::string* why) {
    sockaddr_un address{};
    if (!FillAddress(path, &address, why)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *why = "cannot listen at " + path + ": something that is not a socket is in the way";
            return false;
        }
        if (Live(address)) {
            *why = "cannot listen at " + path + ": another simulator is listening there";
            return false;
        }
        ::unlink(path.c_str());  // left behind by a simulator that is gone
    }
    auto fail = [&](const char* what) {
        *why = std::string(what) + " " + path + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return fail("cannot make the control socket");
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail("cannot listen at");
    }
    path_ = path;
    if (::lstat(path.c_str(), &st) == 0) {
        socketDevice_ = st.st_dev;
        socketInode_ = st.st_ino;
    }
    int pipeFds[2];
    if (::listen(listener_, 8) != 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return fail("cannot listen at");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    try {
        thread_ = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
        errno = EAGAIN;
        return fail("cannot serve");
    }
    return true;
}

void ControlServer::Stop() {
    WakeAndJoin(thread_, wakeWrite_);
    if (!path_.empty()) {
        // Removed only while it is still the socket we bound: another simulator may have taken the path since.
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDevice_ && st.st_ino == socketInode_) {
            ::unlink(path_.c_str());
        }
        path_.clear();
    }
    for (int* fd : {&listener_, &wakeRead_, &wakeWrite_}) CloseFd(fd);
}

void ControlServer::Serve() {
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{wakeRead_, POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        // The clients polled come first; one accepted now is polled from the next round on.
        const std::size_t polled = clients.size();
        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) clients.push_back({fd, {}});
        }
        for (std::size_t i = 0; i < polled; ++i) {
            if (fds[i + 2].revents == 0) continue;
            Client& c = clients[i];
            char buf[1024];
            const ssize_t got = ::recv(c.fd, buf, sizeof buf, 0);
            if (got < 0 && errno == EINTR) continue;
            bool keep = got > 0;
            if (keep) c.pending.append(buf, static_cast<std::size_t>(got));
            // Each whole line is a command; at the end of the input, so is an unfinished last line.
            for (std::size_t end; (end = c.pending.find('\n')) != std::string::npos || (!keep && !c.pending.empty());) {
                if (end == std::string::npos) end = c.pending.size();
                std::string line = c.pending.substr(0, end);
                c.pending.erase(0, std::min(end + 1, c.pending.size()));
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!SendAll(c.fd, RunControlCommand(reader_, line))) {
                    keep = false;
                    c.pending.clear();
                }
            }
            if (c.pending.size() > kMaxLine) {
                (void)SendAll(c.fd, Error("line longer than " + std::to_string(kMaxLine) + " bytes"));
                keep = false;
            }
            if (!keep) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& c : clients) ::close(c.fd);
}

// ---- the client --------------------------------------------------------------------------------------------------

int SendControlCommands(const std::string& path, const std::vector<std::string>& commands) {
    constexpr int kUnavailable = 69;  // sysexits.h: EX_UNAVAILABLE
    sockaddr_un address{};
    std::string why;
    if (!FillAddress(path, &address, &why)) {
        std::fprintf(stderr, "ryx_sim: %s\n", why.c_str());
        return kUnavailable;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "ryx_sim: cannot reach the simulator at %s: %s (is ryx_sim --control %s running?)\n",
                     path.c_str(), std::strerror(errno), path.c_str());
        if (fd >= 0) ::close(fd);
        return kUnavailable;
    }
    std::string pending;
    int status = 0;
    for (const std::string& command : commands) {
        if (command.find('\n') != std::string::npos) {
            std::fprintf(stderr, "ryx_sim: %s: one command per --send\n", command.c_str());
            status = 1;
            break;
        }
        if (!SendAll(fd, command + "\n")) {
            status = kUnavailable;
            break;
        }
        // Information lines until the closing "ok" or "error: ...".
        for (;;) {
            const std::size_t end = pending.find('\n');
            if (end == std::string::npos) {
                char buf[1024];
                const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    status = kUnavailable;
                    break;
                }
                pending.append(buf, static_cast<std::size_t>(got));
                continue;
            }
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line == "ok") break;
            if (line.rfind("error: ", 0) == 0) {
                std::fprintf(stderr, "ryx_sim: %s: %s\n", command.c_str(), line.c_str() + 7);
                status = 1;
                break;
            }
            std::printf("%s\n", line.c_str());
        }
        if (status != 0) break;
    }
    if (status == kUnavailable) {
        std::fprintf(stderr, "ryx_sim: the simulator at %s hung up\n", path.c_str());
    }
    std::fflush(stdout);
    ::close(fd);
    return status;
}

}  // namespace ryx::sim
