// Linux: the command interpreter, without any shell.
//
// A line is split at " && " into commands that run in order until one
// returns a status other than 0. "cd" changes the directory that the rest of
// this line uses; the server's own working directory never changes (a child
// gets its directory through posix_spawn's chdir action). "copy" copies in
// the kernel, and writes nothing onto an unchanged earlier copy. Any other
// command starts a program with posix_spawn: the server is multi-threaded
// and large, so fork is out, and no shell ever sees the text, so ";", "|",
// "$(...)", quotes and "*" reach the program unchanged.
//
// Statuses: the program's exit status; minus the signal number when a signal
// ended it; 9009 when it cannot be started; 1 for a failed "cd" or "copy", a
// redirection that cannot be opened or bound, or a command that cannot be
// parsed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "os_pipes_internal.h"
#include "platform/platform.h"

extern char** environ;

namespace {

constexpr int status_failed = 1;
constexpr int status_not_started = 9009;
constexpr char command_separator[] = " && ";
constexpr std::size_t copy_chunk_bytes = 1 << 30;
constexpr std::size_t copy_buffer_bytes = 64 * 1024;
// A child that another thread is just starting may still hold a copy of a
// freshly written file's descriptor; exec of that file then fails with
// ETXTBSY for a moment. This many retries, 2 ms apart, cover that moment.
constexpr int spawn_busy_retries = 10;

// What a copy left behind: the identity, size, mode and times of its source
// and of its target. A target that still matches what its last copy left,
// from a source that matches too, holds the source's bytes already, and the
// copy writes nothing: an engine's executable is tens of megabytes, copied
// for every client. Any change to either file, even of its mode, moves its
// change time (ctime), which no user can set back.
struct file_stamp_t {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    mode_t mode = 0;
    timespec mtime{};
    timespec ctime{};
};

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const file_stamp_t& a, const file_stamp_t& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mode == b.mode &&
           same_time(a.mtime, b.mtime) && same_time(a.ctime, b.ctime);
}

file_stamp_t stamp_of(const struct stat& st) {
    file_stamp_t stamp;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mode = st.st_mode;
    stamp.mtime = st.st_mtim;
    stamp.ctime = st.st_ctim;
    return stamp;
}

struct copy_made_t {
    file_stamp_t source;
    file_stamp_t target;
};

// By target path; forgotten all at once when full (the next copies write).
std::mutex copies_lock;
std::map<std::string, copy_made_t> copies_made;
constexpr std::size_t copies_remembered = 4096;

bool copy_still_holds(const std::string& target, const struct stat& in_st,
                      const struct stat& out_st) {
    std::lock_guard<std::mutex> hold(copies_lock);
    auto it = copies_made.find(target);
    return it != copies_made.end() && it->second.source == stamp_of(in_st) &&
           it->second.target == stamp_of(out_st);
}

void remember_copy(const std::string& target, const struct stat& in_st, const struct stat& out_st) {
    std::lock_guard<std::mutex> hold(copies_lock);
    if (copies_made.size() >= copies_remembered) {
        copies_made.clear();
    }
    copies_made[target] = copy_made_t{stamp_of(in_st), stamp_of(out_st)};
}

void forget_copy(const std::string& target) {
    std::lock_guard<std::mutex> hold(copies_lock);
    copies_made.erase(target);
}

// Programs started by this interpreter, by (device, inode), while they run.
// A copy onto one of them is refused: for a script the kernel would not.
std::mutex running_lock;
std::multiset<std::pair<dev_t, ino_t>> running_programs;

// Marks one program as running for the life of the object.
struct running_mark_t {
    bool marked = false;
    std::pair<dev_t, ino_t> key{};

    running_mark_t() = default;
    running_mark_t(const running_mark_t&) = delete;
    running_mark_t& operator=(const running_mark_t&) = delete;
    ~running_mark_t() {
        if (marked) {
            std::lock_guard<std::mutex> hold(running_lock);
            running_programs.erase(running_programs.find(key));
        }
    }
    void mark(const struct stat& st) {
        key = {st.st_dev, st.st_ino};
        std::lock_guard<std::mutex> hold(running_lock);
        running_programs.insert(key);
        marked = true;
    }
};

struct spawn_actions_t {
    posix_spawn_file_actions_t actions;
    spawn_actions_t() { posix_spawn_file_actions_init(&actions); }
    spawn_actions_t(const spawn_actions_t&) = delete;
    spawn_actions_t& operator=(const spawn_actions_t&) = delete;
    ~spawn_actions_t() { posix_spawn_file_actions_destroy(&actions); }
};

struct spawn_attributes_t {
    posix_spawnattr_t attributes;
    spawn_attributes_t() { posix_spawnattr_init(&attributes); }
    spawn_attributes_t(const spawn_attributes_t&) = delete;
    spawn_attributes_t& operator=(const spawn_attributes_t&) = delete;
    ~spawn_attributes_t() { posix_spawnattr_destroy(&attributes); }
};

int fail(int err) {
    os_set_last_error(err);
    return status_failed;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) {
            ++i;
        }
        std::size_t begin = i;
        while (i < text.size() && !is_blank(text[i])) {
            ++i;
        }
        if (i > begin) {
            words.push_back(text.substr(begin, i - begin));
        }
    }
    return words;
}

// A path as the server sees it. An empty dir is the server's working
// directory.
std::string resolved(const std::string& dir, const std::string& path) {
    if (dir.empty() || path.front() == '/') {
        return path;
    }
    return dir.back() == '/' ? dir + path : dir + "/" + path;
}

// Moves a descriptor above 0, 1 and 2, so that the child's dup2 actions
// cannot overwrite one another; false with last error set on failure.
bool above_stdio(owned_fd_t& fd) {
    if (!fd.valid() || fd.fd > 2) {
        return true;
    }
    int moved = fcntl(fd.fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        os_set_last_error(errno);
        return false;
    }
    fd.reset(moved);
    return true;
}

int run_cd(std::string& dir, const std::string& command) {
    // The directory is the rest of the command, blanks included.
    std::string target = trimmed(command.substr(2));
    if (target.empty()) {
        return 0;
    }
    std::string path = resolved(dir, target);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return fail(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return fail(ENOTDIR);
    }
    if (access(path.c_str(), X_OK) != 0) {
        return fail(errno);
    }
    dir = path;
    return 0;
}

bool copy_content(int in, int out) {
    bool in_kernel = true;
    bool copied_any = false;
    std::vector<char> buffer;
    for (;;) {
        if (in_kernel) {
            ssize_t n = copy_file_range(in, nullptr, out, nullptr, copy_chunk_bytes, 0);
            if (n > 0) {
                copied_any = true;
                continue;
            }
            if (n == 0 && copied_any) {
                return true;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // Kernels or file systems without it, and files such as those of
            // /proc that report nothing to copy in the kernel.
            if (n == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                errno == EOPNOTSUPP) {
                in_kernel = false;
                buffer.resize(copy_buffer_bytes);
                continue;
            }
            os_set_last_error(errno);
            return false;
        }
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            os_set_last_error(errno);
            return false;
        }
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(n)) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                os_set_last_error(errno);
                return false;
            }
            done += static_cast<std::size_t>(w);
        }
    }
}

int run_copy(const std::string& dir, const std::vector<std::string>& words) {
    if (words.size() != 3) {
        return fail(EINVAL);
    }
    std::string source = resolved(dir, words[1]);
    std::string target = resolved(dir, words[2]);
    owned_fd_t in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        return fail(errno);
    }
    struct stat in_st;
    if (fstat(in.fd, &in_st) != 0) {
        return fail(errno);
    }
    if (!S_ISREG(in_st.st_mode)) {
        return fail(EINVAL);
    }
    mode_t mode = in_st.st_mode & 0777;
    owned_fd_t out;
    struct stat out_st;
    {
        // Checked under the lock, so that no program of this
        // interpreter starts from the target in between. Opening the target
        // itself for writing (not a new file renamed over it) makes the
        // kernel refuse a running binary with ETXTBSY.
        std::lock_guard<std::mutex> hold(running_lock);
        out.reset(open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode));
        if (!out.valid()) {
            return fail(errno);
        }
        if (fstat(out.fd, &out_st) != 0) {
            return fail(errno);
        }
        if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
            return fail(EINVAL);  // a file onto itself: truncating would lose it
        }
        if (running_programs.count({out_st.st_dev, out_st.st_ino}) != 0) {
            return fail(ETXTBSY);
        }
    }
    if (copy_still_holds(target, in_st, out_st)) {
        return 0;  // the descriptor closes; opening it wrote nothing
    }
    // Whatever happens below, the target is no longer what a copy left.
    forget_copy(target);
    if (fchmod(out.fd, mode) != 0) {
        return fail(errno);
    }
    // The old content is overwritten in place and cut to the new length
    // afterwards: emptying a large file first makes the file system free
    // and then reallocate all of its blocks, which costs more than the copy.
    if (!copy_content(in.fd, out.fd)) {
        return status_failed;
    }
    off_t copied = lseek(out.fd, 0, SEEK_CUR);
    if (copied < 0 || ftruncate(out.fd, copied) != 0) {
        return fail(errno);
    }
    struct stat copied_st;
    const bool stamped = fstat(out.fd, &copied_st) == 0;
    if (::close(out.fd) != 0) {
        out.fd = -1;
        return fail(errno);
    }
    out.fd = -1;
    if (stamped) {
        remember_copy(target, in_st, copied_st);
    }
    return 0;
}

// One redirection as written: "<" or ">" and the name after it.
struct redirection_t {
    const std::string* name = nullptr;
    owned_fd_t fd;
};

bool open_redirections(const std::string& dir, redirection_t* input, redirection_t* output) {
    os_pipe_binding_t bindings[2];
    redirection_t* bound[2] = {};
    std::size_t count = 0;
    redirection_t* both[2] = {input, output};
    for (redirection_t* r : both) {
        if (r->name == nullptr) {
            continue;
        }
        bool reads = r == input;
        if (os_is_pipe_name(r->name->c_str())) {
            bindings[count].name = r->name->c_str();
            bindings[count].program_reads = reads;
            bound[count++] = r;
            continue;
        }
        std::string path = resolved(dir, *r->name);
        int flags = reads ? O_RDONLY | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        r->fd.reset(open(path.c_str(), flags, 0666));
        if (!r->fd.valid()) {
            os_set_last_error(errno);
            return false;
        }
    }
    if (!os_bind_pipes(bindings, count)) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        bound[i]->fd = std::move(bindings[i].program_end);
    }
    return above_stdio(input->fd) && above_stdio(output->fd);
}

int wait_for(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            return fail(errno);
        }
    }
    if (WIFSIGNALED(wstatus)) {
        return -WTERMSIG(wstatus);
    }
    return WEXITSTATUS(wstatus);
}

int run_program(const std::string& dir, const std::vector<std::string>& words) {
    std::vector<const std::string*> args;
    redirection_t input;
    redirection_t output;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] != "<" && words[i] != ">") {
            args.push_back(&words[i]);
            continue;
        }
        redirection_t& r = words[i] == "<" ? input : output;
        if (i + 1 == words.size() || r.name != nullptr) {
            return fail(EINVAL);
        }
        r.name = &words[++i];
    }
    if (args.empty()) {
        return fail(EINVAL);
    }
    const std::string& program = *args[0];
    // Marked before the pipes are bound, so that a server end that sees its
    // connect complete also sees a copy onto the program refused.
    running_mark_t mark;
    struct stat st;
    int not_found_error = 0;
    if (stat(resolved(dir, program).c_str(), &st) != 0) {
        not_found_error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        not_found_error = EACCES;
    } else {
        mark.mark(st);
    }
    bool found = not_found_error == 0;
    // The redirections are opened even when the program is missing, so a
    // pipe's server end sees its connect complete and then the end of the
    // output, as with cmd.
    if (!open_redirections(dir, &input, &output)) {
        return status_failed;
    }
    if (!found) {
        os_set_last_error(not_found_error);
        return status_not_started;
    }

    spawn_actions_t actions;
    if (!dir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions.actions, dir.c_str());
    }
    if (input.fd.valid()) {
        posix_spawn_file_actions_adddup2(&actions.actions, input.fd.fd, 0);
    }
    if (output.fd.valid()) {
        posix_spawn_file_actions_adddup2(&actions.actions, output.fd.fd, 1);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3);
    // The server blocks its stop signals in every thread and ignores
    // SIGPIPE; the program starts with a clear mask and default actions.
    spawn_attributes_t attributes;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    posix_spawnattr_setflags(&attributes.attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // The path is taken after the child's chdir: a bare name is the file in
    // the current directory, never one on PATH.
    std::string path = program.find('/') == std::string::npos ? "./" + program : program;
    std::vector<char*> argv;
    for (const std::string* a : args) {
        argv.push_back(const_cast<char*>(a->c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = 0;
    for (int attempt = 0;; ++attempt) {
        rc = posix_spawn(&pid, path.c_str(), &actions.actions, &attributes.attributes, argv.data(),
                         environ);
        if (rc != ETXTBSY || attempt == spawn_busy_retries) {
            break;
        }
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    // The program holds its own copies now; ours must go for EOF to work.
    input.fd.reset();
    output.fd.reset();
    if (rc != 0) {
        os_set_last_error(rc);
        return status_not_started;
    }
    return wait_for(pid);
}

int run_one(std::string& dir, const std::string& command) {
    std::vector<std::string> words = words_of(command);
    if (words.empty()) {
        return fail(EINVAL);
    }
    if (words[0] == "cd") {
        return run_cd(dir, command);
    }
    if (words[0] == "copy") {
        return run_copy(dir, words);
    }
    return run_program(dir, words);
}

}  // namespace

int os_run_command(const std::string& line) {
    if (trimmed(line).empty()) {
        return 0;
    }
    std::string dir;  // empty: the server's working directory
    std::size_t begin = 0;
    int status = 0;
    for (;;) {
        std::size_t end = line.find(command_separator, begin);
        std::string command =
            trimmed(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        status = run_one(dir, command);
        if (status != 0 || end == std::string::npos) {
            return status;
        }
        begin = end + sizeof(command_separator) - 1;
    }
}
