#include "container/gather_flusher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "container/gathered_bytes.h"

namespace {

constexpr int64_t kNever = INT64_MAX;

// Made once and never destroyed, as the registry's objects are: a thread
// still running at exit (a host that never released its containers) must
// find it, and a joinable std::thread must never be destroyed.
struct Flusher {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<GatherClient*> clients;
    GatherClient* busy = nullptr;   // the client the thread is inside
    std::thread thread;
    uint64_t generation = 0;        // a thread runs while it is its own
    uint64_t clientsChanged = 0;    // counts registrations, for a pass under way
    int64_t wakeAt = kNever;
};

Flusher& TheFlusher() {
    static Flusher* flusher = new Flusher;
    return *flusher;
}

void Run(Flusher& f, uint64_t generation) {
    std::unique_lock<std::mutex> hold(f.mutex);
    while (f.generation == generation) {
        const int64_t now = GatherClockMs();
        if (now < f.wakeAt) {
            const int64_t wait = f.wakeAt == kNever ? 60000 : f.wakeAt - now;
            f.changed.wait_for(hold, std::chrono::milliseconds(wait));
            continue;
        }
        f.wakeAt = kNever;
        const uint64_t before = f.clientsChanged;
        for (size_t i = 0; i < f.clients.size() && f.generation == generation; ++i) {
            GatherClient* client = f.clients[i];
            f.busy = client;
            hold.unlock();
            const int64_t next = client->WriteOutAged(now);
            hold.lock();
            f.busy = nullptr;
            f.changed.notify_all();
            if (next >= 0) f.wakeAt = std::min(f.wakeAt, next);
        }
        // A client taken out during the pass moved the others down, and
        // one may have been passed over: pass again at once.
        if (f.clientsChanged != before) f.wakeAt = now;
    }
}

}  // namespace

namespace gather_flusher {

bool Register(GatherClient* client) {
    Flusher& f = TheFlusher();
    std::lock_guard<std::mutex> hold(f.mutex);
    if (std::find(f.clients.begin(), f.clients.end(), client) == f.clients.end()) {
        f.clients.push_back(client);
        ++f.clientsChanged;
    }
    if (f.thread.joinable()) return true;
    try {
        f.thread = std::thread(Run, std::ref(f), f.generation);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Unregister(GatherClient* client) {
    Flusher& f = TheFlusher();
    std::thread ending;
    {
        std::unique_lock<std::mutex> hold(f.mutex);
        auto found = std::find(f.clients.begin(), f.clients.end(), client);
        if (found == f.clients.end()) return;
        f.clients.erase(found);
        ++f.clientsChanged;
        f.changed.wait(hold, [&] { return f.busy != client; });
        if (!f.clients.empty()) return;
        ++f.generation;
        f.wakeAt = kNever;
        ending = std::move(f.thread);
        f.changed.notify_all();
    }
    if (ending.joinable()) ending.join();
}

void WakeBy(int64_t deadline) {
    Flusher& f = TheFlusher();
    std::lock_guard<std::mutex> hold(f.mutex);
    if (deadline >= f.wakeAt) return;
    f.wakeAt = deadline;
    f.changed.notify_all();
}

bool Running() {
    Flusher& f = TheFlusher();
    std::lock_guard<std::mutex> hold(f.mutex);
    return f.thread.joinable();
}

}  // namespace gather_flusher
