// The platform operations the server stands on: sockets, named pipes, the
// command interpreter, threads, signals, the clock and files. Every operation
// is declared here once; each operating system implements them in its own
// folder (platform/linux/ today), and the build picks the folder. Code outside
// platform/ never asks which system it runs on.
//
// Error numbers: the operations that the server's log lines report on leave
// the system's error number for the failed call where os_last_socket_error()
// (sockets) or os_last_error() (pipes, files, processes) return it, in the
// numbering the log lines use (the Windows numbers for the pipe errors below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// ---- Handles ---------------------------------------------------------------
// Sockets and pipe handles are 64-bit on every platform.
using os_socket_t = std::uint64_t;
using os_handle_t = std::uint64_t;
constexpr os_socket_t os_invalid_socket = ~std::uint64_t{0};
constexpr os_handle_t os_invalid_handle = ~std::uint64_t{0};

// Error numbers that callers test for.
constexpr int os_error_broken_pipe = 109;     // the other end of a pipe is gone
constexpr int os_error_pipe_busy = 231;       // a pipe of that name waits already
constexpr int os_error_pipe_connected = 535;  // connect found the pipe opened
constexpr int os_error_aborted = 995;         // a pipe wait was cancelled

// ---- Identity and environment ----------------------------------------------
// The platform the binary was built for, e.g. "Linux X86-64".
const char* os_arch_text();
// The separator the system puts between directory names ('/' or '\\').
char os_path_separator();
// Host name into buf (NUL-terminated, possibly empty on failure).
void os_host_name(char* buf, std::size_t size);
// Working directory into buf; false on failure (buf then unspecified).
bool os_working_dir(char* buf, std::size_t size);
void os_sleep_ms(unsigned ms);
// Monotonic clock in microseconds, for measuring only.
std::uint64_t os_monotonic_us();
// Local time formatted with strftime(format) into buf; returns the length.
std::size_t os_local_time_text(char* buf, std::size_t size, const char* format);

// ---- Files -------------------------------------------------------------------
struct os_file_closer {
    void operator()(std::FILE* f) const noexcept;
};
using os_file_ptr = std::unique_ptr<std::FILE, os_file_closer>;
// Opens a file for appending (created when missing), writes the text in one
// write in text mode ("\n" stored as the platform's line end), and closes
// it. False when the file cannot be opened or the write fails.
bool os_append_text(const char* name, const char* text, std::size_t length);
// Opens a file for reading text, not inherited. Null on failure.
os_file_ptr os_open_read(const char* name);

// ---- Process, signals, threads -----------------------------------------------
// Prepares the process before any thread exists: sends on a reset
// connection fail instead of ending the process, and the three stop signals
// are held back from every thread. Then starts one thread that waits for
// them and calls handler(signal number) in ordinary thread context, so the
// handler may take locks. Returns false when that thread cannot be started.
bool os_start_signal_thread(void (*handler)(int));
// Ends the process at once with the given status, without running the
// destructors of static objects (other threads are still running).
[[noreturn]] void os_exit_process(int status);
// Starts a detached thread running fn(arg). False when it cannot be started.
bool os_start_thread(void* (*fn)(void*), void* arg);

// ---- Sockets -------------------------------------------------------------------
// Socket library start-up and clean-up; os_socket_startup returns 0 on success.
// On Linux the start-up also raises the descriptor limit to what full tables need.
int os_socket_startup();
void os_socket_cleanup();
int os_last_socket_error();

// The first result of a passive IPv4 stream resolution of a port text.
struct os_address_t {
    int family;
    int socktype;
    int protocol;
    std::uint32_t length;     // bytes used in data
    unsigned char data[128];  // the socket address itself
};
// Resolves the port text (number or service name) for all local IPv4
// interfaces. False when it does not resolve; os_last_socket_error() then
// holds the resolver's error number.
bool os_resolve_passive(const char* port, os_address_t* out);
// A socket not inherited by child processes; os_invalid_socket on failure.
os_socket_t os_socket(int family, int socktype, int protocol);
// Binds a listening socket. Returns 0 on success.
int os_bind_listener(os_socket_t s, const os_address_t& address);
// Returns a negative value on failure.
int os_listen(os_socket_t s, int backlog);
// Waits at most timeout_ms for any of socks[0..count) to become readable (or
// closed, or failed). ready[i] is set to 1 for each ready socket, else 0.
// Returns the number of ready sockets, 0 on time-out, negative on failure.
int os_wait_readable(const os_socket_t* socks, unsigned count, unsigned char* ready,
                     int timeout_ms);
// Accepts one connection (the new socket is not inherited); the peer's
// numeric address goes into peer_host. os_invalid_socket on failure.
os_socket_t os_accept(os_socket_t listen_sock, char* peer_host, std::size_t peer_size);
// What the error number of a failed os_accept says about the listening
// socket: broken (listening_socket), sound while the pending connection
// failed on its own, reset by its peer or by the network (one_connection),
// or sound while descriptors or memory are short for the moment (resources).
enum class os_accept_failure_t { listening_socket, one_connection, resources };
os_accept_failure_t os_accept_failure_kind(int error);
// The local IPv4 address of a connected socket in dotted decimal.
void os_local_ipv4(os_socket_t s, char* buf, std::size_t size);
// A client connection to host:port (IPv4 numeric or a name the resolver
// knows); os_invalid_socket on failure, also when a timeout_ms above 0
// passes before the connection is made.
os_socket_t os_connect(const char* host, const char* port, int timeout_ms = 0);
// Turns off small-write coalescing on a connection.
void os_set_no_delay(os_socket_t s);
// Probes an idle connection, so that a peer that vanished without a word
// (a machine gone to sleep, a network gone) fails its receive in minutes.
void os_set_keepalive(os_socket_t s);
// One receive; the byte count, 0 when the peer closed, negative on error.
long os_recv(os_socket_t s, char* buf, std::size_t len);
// One send; never raises a signal. The count sent, negative on error.
long os_send(os_socket_t s, const char* buf, std::size_t len);
// Sends every byte unless the connection fails, or, with a stall limit
// above 0, until no byte could be sent for stall_ms. True when all went out.
bool os_send_all(os_socket_t s, const char* buf, std::size_t len, int stall_ms = 0);
// Ends both directions of a connection without releasing the handle: a
// thread blocked in a receive on it returns, and the peer sees the close.
void os_shutdown_socket(os_socket_t s);
// Ends the sending direction only: the peer receives what was sent, then
// the end of the data; receiving goes on.
void os_shutdown_send(os_socket_t s);
void os_close_socket(os_socket_t s);

// ---- Named pipes -------------------------------------------------------------
// Pipe names have the form "\\.\pipe\" + name on every platform. The server
// creates the server end; the command interpreter opens the other end for a
// program's standard input (" < NAME") or standard output (" > NAME").
//
// Creates the server end of a pipe of this name with 8192-byte buffers.
// os_invalid_handle on failure, with os_last_error() set.
os_handle_t os_create_named_pipe(const char* name);
// Blocks until a program has opened the other end. True when connected;
// false with os_last_error() = os_error_pipe_connected when it was opened
// before the call (that counts as connected too), os_error_aborted when the
// wait was cancelled, or another number.
bool os_connect_named_pipe(os_handle_t pipe);
// Makes a pending or later connect on this pipe fail with os_error_aborted;
// no effect once it is connected or closed. Any thread may call it.
void os_cancel_named_pipe(os_handle_t pipe);
// Reads at most len bytes (what the program has written so far). False with
// os_last_error() = os_error_broken_pipe at the end of the program's output.
// A read that reports success delivers at least one byte.
bool os_read_pipe(os_handle_t pipe, char* buf, std::uint32_t len, std::uint32_t* got);
// Writes len bytes; true only when all were written. False once the
// program's end is closed.
bool os_write_pipe(os_handle_t pipe, const char* buf, std::uint32_t len, std::uint32_t* written);
// Closes the server end; called once per handle.
void os_close_handle(os_handle_t pipe);
int os_last_error();

// ---- Command interpreter -------------------------------------------------------
// Runs one command line of these constructs, without any shell:
//   "cd DIR"            the directory of the commands that follow it
//   "A && B"            B only when A succeeded
//   "copy SRC DST"      copies a file, keeping its permission bits
//   "PROG ARG ..."      runs PROG (found in the current directory, never on a
//                       search path) with " < NAME" and " > NAME" binding
//                       its standard input and output to a file or a pipe
// Blocks until the line has finished. Returns the last command's status: the
// program's exit status, 1 for a failed "cd" or "copy", 9009 when the program
// cannot be started, minus the signal number when a signal ended it.
// The server's own working directory never changes.
int os_run_command(const std::string& line);

// ---- Compiler ----------------------------------------------------------------
// Lets the compiler check printf-style calls against their format.
#if defined(__GNUC__) || defined(__clang__)
#define ORVANE_PRINTF(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define ORVANE_PRINTF(format_index, first_arg)
#endif
