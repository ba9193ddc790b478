#include "container/gather_flusher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "container/gathered_bytes.h"

namespace {

constexpr int64_t kNever = INT64_MAX;

// One for the module, made at its first use (without allocating) and
// destroyed when the module is unloaded, which CanUnload allows only once
// the thread is joined; at the exit of a process whose host never released
// its containers, the thread still running is let go rather than waited for.
struct Flusher {
    ~Flusher() {
        if (thread.joinable()) thread.detach();
    }

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
    static Flusher flusher;
    return flusher;
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
    // The list and the thread may fail for want of memory or of threads
    // (bad_alloc, system_error): the client is then not in, and writes and
    // Sync alone keep its delay.
    try {
        if (std::find(f.clients.begin(), f.clients.end(), client) == f.clients.end()) {
            f.clients.push_back(client);
            ++f.clientsChanged;
        }
    } catch (...) {
        return false;
    }
    if (f.thread.joinable()) return true;
    try {
        f.thread = std::thread(Run, std::ref(f), f.generation);
    } catch (...) {
        f.clients.erase(std::find(f.clients.begin(), f.clients.end(), client));
        ++f.clientsChanged;
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
