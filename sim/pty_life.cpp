// The reader's life on a pseudo-terminal: plugging in (a fresh pty and the thread that serves it), unplugging, and
// the symbolic link that follows the slave.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sim/pty_termios.h"
#include "sim/simulator_state.h"
#include "sim/wake_pipe.h"

namespace ryx::sim {

bool Simulator::Start() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (s.thread.joinable()) return true;
    if (!s.Open()) return false;
    std::lock_guard lock(s.mu);
    return s.link.empty() || s.CreateLink();
}

void Simulator::Stop() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    s.Close();
}

bool Simulator::Replug() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (s.running) return true;
    s.Close();  // joins a serving thread that ended when a vanish fault closed the pty
    {
        std::lock_guard lock(s.mu);
        s.device.PowerOnReset(s.config.rate);
        s.lastResponse.reset();
        s.lastTaken.reset();
        s.lineFreeAt = {};
        s.assembler = FrameAssembler(s.device.ReceiveLimit());
    }
    if (!s.Open()) return false;
    std::lock_guard lock(s.mu);
    return s.link.empty() || s.CreateLink();
}

bool Simulator::SetLink(std::string path) {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    std::lock_guard lock(s.mu);
    if (!s.link.empty()) s.RemoveLink();
    s.link = std::move(path);
    if (s.link.empty() || !s.running) return true;
    if (s.CreateLink()) return true;
    const int saved = errno;
    s.link.clear();
    errno = saved;
    return false;
}

std::string Simulator::Link() const {
    std::lock_guard lock(state_->mu);
    return state_->link;
}

const std::string& Simulator::SlavePath() const {
    return state_->slavePath;
}

bool Simulator::Running() const {
    return state_->running;
}

bool Simulator::State::Open() {
    const int newMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (newMaster < 0) return false;
    char name[128];
    int newSlave = -1;
    int pipeFds[2] = {-1, -1};
    auto fail = [&] {
        const int saved = errno;
        if (newSlave >= 0) ::close(newSlave);
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        if (pipeFds[1] >= 0) ::close(pipeFds[1]);
        ::close(newMaster);
        errno = saved;
        return false;
    };
    if (::grantpt(newMaster) != 0 || ::unlockpt(newMaster) != 0 || ::ptsname_r(newMaster, name, sizeof name) != 0) {
        return fail();
    }
    newSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (newSlave < 0) return fail();
    std::uint32_t rate = 0;
    {
        std::lock_guard lock(mu);
        rate = device.Rate();
    }
    // A new pty is cooked and echoes: make it a raw line at the reader's speed before any host sees it. This goes
    // through the slave; the master's termios is never written, since on Linux it is the slave's.
    if (!SetRawAtSpeed(newSlave, rate)) return fail();
    if (::fcntl(newMaster, F_SETFL, ::fcntl(newMaster, F_GETFL) | O_NONBLOCK) != 0) return fail();
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return fail();
    {
        std::lock_guard lock(mu);
        master = newMaster;
        slave = newSlave;
        wakeRead = pipeFds[0];
        wakeWrite = pipeFds[1];
        slavePath = name;
        stopping = false;
        running = true;
    }
    try {
        thread = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
        std::lock_guard lock(mu);
        running = false;
        CloseFd(&master);
        CloseFd(&slave);
        CloseFd(&wakeRead);
        CloseFd(&wakeWrite);
        errno = EAGAIN;
        return false;
    }
    return true;
}

void Simulator::State::Close() {
    stopping = true;  // read only by the serving thread; Open() clears it
    WakeAndJoin(thread, wakeWrite);
    std::lock_guard lock(mu);
    Unplug();
    CloseFd(&wakeRead);
    CloseFd(&wakeWrite);
}

void Simulator::State::Unplug() {
    running = false;
    device.PowerOnReset(config.rate);  // an unplugged reader powers no card
    lastTaken.reset();
    RemoveLink();
    CloseFd(&master);
    CloseFd(&slave);
    changed.notify_all();
}

bool Simulator::State::CreateLink() {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        ::unlink(link.c_str());
    }
    return ::symlink(slavePath.c_str(), link.c_str()) == 0;
}

void Simulator::State::RemoveLink() {
    if (link.empty() || slavePath.empty()) return;
    std::vector<char> buf(slavePath.size() + 2);
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == slavePath) ::unlink(link.c_str());
}

void Simulator::State::Vanish() {
    // Unplugged: the pty and its link go away under the host's feet. Stop() or Replug() later joins the thread.
    std::lock_guard lock(mu);
    Unplug();
}

}  // namespace ryx::sim
