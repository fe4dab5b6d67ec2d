// The large data moves of an export or a rebuild, carried out by several
// workers while the command plans the next ones.
//
// A command gives tasks in the order its sequential walk would do them.
// A task is a list of moves, done in order by one worker with
// PlatformCopyRange until one falls short, or other work of the command's. What follows a task (its
// `after`) runs on the command's own thread, in the order the tasks were
// given, once the task is done: there the command checks the result, redoes
// a move that fell short piece by piece and prints what failed, exactly as
// the sequential walk would. Standard output therefore comes out in the
// walk's order, whatever order the workers finish in.
//
// A task's `after` that gives false ends the job: the tasks given after it
// are dropped, those under way are waited for, and no further `after` runs;
// the command gives no more tasks then.
// After the first task that fell short the job runs on the command's
// thread alone, as the sequential walk does, so that a failure (a full
// disk) is met by the tasks in their order.
//
// With one processor (PlatformProcessorCount), and always under the test
// seam unless a test asks for more, every task runs when it is given, on
// the command's thread: the platform calls then come in the walk's order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct PlatformFile;

struct Move {
    PlatformFile* source;
    int64_t from;  // position in the source
    int64_t to;    // position in the destination
    int64_t length;
};

// What became of a task: `move` is the first move that fell short, after
// `done` of its bytes; every move was done when `move` is their count.
struct MovesDone {
    size_t move;
    int64_t done;
};

struct TransferState;

struct Transfer {
    // With `zerosAsHoles`, the destination is a new file whose bytes not yet
    // written read as zeros: moves through a buffer leave each 4 KiB page of
    // the file that would get only zeros a hole.
    explicit Transfer(PlatformFile* destination, bool zerosAsHoles = false);
    ~Transfer();  // drops what is left and waits for the workers
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    std::unique_ptr<TransferState> state;
};

// Gives a task of moves.
void TransferGive(Transfer& transfer, std::vector<Move> moves, std::function<bool(const MovesDone&)> after);

// Gives a task of other work, done by a worker as moves are: `work` gives
// true when it fell short (the job then runs on the command's thread
// alone), and `after` follows it as a move task's does.
void TransferGiveWork(Transfer& transfer, std::function<bool()> work, std::function<bool()> after);

// Waits for every task given and runs what follows each. Call it before
// the command prints anything of its own, so that what the tasks print
// comes first.
void TransferFinish(Transfer& transfer);
