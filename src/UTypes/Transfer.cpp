#include "Transfer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "OutputFile.h"
#include "Platform/Platform.h"

namespace {

// Writes to one file take turns in the kernel, so more workers than two
// gain little: one reads while another writes. Four at most.
constexpr unsigned kMostWorkers = 4;
// Tasks given and not yet followed up, per worker: enough to keep each busy
// while the command plans, few enough to bound what is in flight.
constexpr size_t kTasksPerWorker = 4;

enum class Stage { Waiting, Running, Done };

struct Task {
    std::function<bool()> work;  // gives true when it fell short
    std::function<bool()> after;
    bool fellShort = false;
    std::exception_ptr failure;
    Stage stage = Stage::Waiting;
};

void Run(Task& task)
{
    try {
        task.fellShort = task.work();
    } catch (...) {
        task.failure = std::current_exception();
    }
}

// A write into a new file that leaves each page of zeros a hole; its count
// is PlatformWriteAt's. The test of a page stops at its first byte other
// than zero.
int64_t WriteLeavingHoles(PlatformFile* file, int64_t position, const void* buffer, uint32_t count)
{
    constexpr int64_t kPage = 4096;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;  // the bytes before it are written, or left as holes
    int64_t put = 0;
    auto writeUpTo = [&](int64_t end) {
        put = end > done ? PlatformWriteAt(file, position + done, bytes + done, static_cast<uint32_t>(end - done)) : 0;
        return put == end - done;
    };
    bool written = true;
    for (int64_t at = 0; at < count && written;) {
        const int64_t pageEnd = std::min<int64_t>(count, (position + at) / kPage * kPage + kPage - position);
        if (AllZero(bytes + at, pageEnd - at)) {
            written = writeUpTo(at);
            done = written ? pageEnd : done;
        }
        at = pageEnd;
    }
    if (written && writeUpTo(count)) {
        return count;
    }
    return put < 0 && done == 0 ? -1 : done + std::max<int64_t>(put, 0);
}

MovesDone RunMoves(PlatformFile* destination, bool zerosAsHoles, const std::vector<Move>& moves)
{
    for (size_t i = 0; i < moves.size(); ++i) {
        const Move& move = moves[i];
        // Where the system shares extents, sharing them costs less than any test.
        const int64_t done = zerosAsHoles && !PlatformSharesExtents(move.source, destination)
                                 ? CopyThroughBuffer(move.source, move.from, destination, move.to, move.length, 0,
                                                     move.length, PlatformReadAt, WriteLeavingHoles)
                                 : PlatformCopyRange(move.source, move.from, destination, move.to, move.length);
        if (done != move.length) {
            return {i, std::max<int64_t>(done, 0)};
        }
    }
    return {moves.size(), 0};
}

bool FellShort(const Task& task)
{
    return task.failure != nullptr || task.fellShort;
}

}  // namespace

struct TransferState {
    PlatformFile* destination;
    bool zerosAsHoles;
    unsigned workerCount;
    std::vector<std::thread> workers;
    std::mutex lock;
    std::condition_variable wake;             // for the workers: a task to do, or the end
    std::condition_variable done;             // for the command: a task is done
    std::deque<std::shared_ptr<Task>> given;  // not yet followed up, oldest first
    std::deque<std::shared_ptr<Task>> queue;  // not yet begun
    bool sequential = false;                  // a task fell short: the workers take no more
    bool closing = false;
};

namespace {

void Work(TransferState& state)
{
    std::unique_lock<std::mutex> hold(state.lock);
    for (;;) {
        state.wake.wait(hold, [&] { return state.closing || (!state.sequential && !state.queue.empty()); });
        if (state.closing) {
            return;
        }
        const std::shared_ptr<Task> task = state.queue.front();
        state.queue.pop_front();
        task->stage = Stage::Running;
        hold.unlock();
        Run(*task);
        hold.lock();
        task->stage = Stage::Done;
        state.sequential = state.sequential || FellShort(*task);
        state.done.notify_all();
    }
}

// Waits until the oldest task is done, running it here once the workers
// take no more.
void AwaitOldest(TransferState& state, std::unique_lock<std::mutex>& hold)
{
    const std::shared_ptr<Task> task = state.given.front();
    state.done.wait(hold,
                    [&] { return task->stage == Stage::Done || (state.sequential && task->stage == Stage::Waiting); });
    if (task->stage == Stage::Waiting) {
        state.queue.erase(std::find(state.queue.begin(), state.queue.end(), task));
        task->stage = Stage::Running;
        hold.unlock();
        Run(*task);
        hold.lock();
        task->stage = Stage::Done;
    }
}

// Follows up the given tasks, oldest first: all of them when `finishing`,
// else until few enough are in flight (none once the job runs
// sequentially). A task's `after` runs unlocked, so the workers go on
// meanwhile.
void FollowUp(TransferState& state, bool finishing)
{
    std::unique_lock<std::mutex> hold(state.lock);
    const size_t inFlight = kTasksPerWorker * state.workerCount;
    while (state.given.size() > (finishing || state.sequential ? 0 : inFlight)) {
        AwaitOldest(state, hold);
        const std::shared_ptr<Task> task = state.given.front();
        state.given.pop_front();
        hold.unlock();
        if (task->failure) {
            std::rethrow_exception(task->failure);
        }
        const bool goOn = task->after();
        hold.lock();
        if (!goOn) {
            // What was not begun is dropped; what is under way is waited for,
            // so that nothing writes to the destination after this.
            state.queue.clear();
            state.done.wait(hold, [&] {
                return std::none_of(state.given.begin(), state.given.end(),
                                    [](const std::shared_ptr<Task>& t) { return t->stage == Stage::Running; });
            });
            state.given.clear();
        }
    }
}

void Close(TransferState& state)
{
    {
        const std::lock_guard<std::mutex> hold(state.lock);
        state.closing = true;
        state.queue.clear();
    }
    state.wake.notify_all();
    for (std::thread& worker : state.workers) {
        worker.join();
    }
    state.workers.clear();
}

}  // namespace

Transfer::Transfer(PlatformFile* destination, bool zerosAsHoles) : state(std::make_unique<TransferState>())
{
    state->destination = destination;
    state->zerosAsHoles = zerosAsHoles;
    state->workerCount = std::min(PlatformProcessorCount(), kMostWorkers);
}

Transfer::~Transfer()
{
    Close(*state);
}

void TransferGiveWork(Transfer& transfer, std::function<bool()> work, std::function<bool()> after)
{
    TransferState& state = *transfer.state;
    auto task = std::make_shared<Task>();
    task->work = std::move(work);
    task->after = std::move(after);
    if (state.workerCount <= 1) {
        // One processor: the task runs here and now.
        Run(*task);
        if (task->failure) {
            std::rethrow_exception(task->failure);
        }
        task->after();
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(state.lock);
        if (state.workers.empty()) {
            for (unsigned i = 0; i < state.workerCount; ++i) {
                state.workers.emplace_back(Work, std::ref(state));
            }
        }
        state.given.push_back(task);
        state.queue.push_back(task);
    }
    state.wake.notify_one();
    FollowUp(state, false);
}

void TransferGive(Transfer& transfer, std::vector<Move> moves, std::function<bool(const MovesDone&)> after)
{
    auto result = std::make_shared<MovesDone>();
    PlatformFile* destination = transfer.state->destination;
    const bool holes = transfer.state->zerosAsHoles;
    TransferGiveWork(
        transfer,
        [result, destination, holes, moves = std::move(moves)] {
            *result = RunMoves(destination, holes, moves);
            return result->move < moves.size();
        },
        [result, after = std::move(after)] { return after(*result); });
}

void TransferFinish(Transfer& transfer)
{
    FollowUp(*transfer.state, true);
}
