// Windows: the command interpreter is cmd.exe.
//
// A line runs as cmd.exe /d /s /c "LINE" (no AutoRun commands; /s keeps
// the line as it is between the outer quotes), started from the system
// directory, never from a search path. cmd does the "cd", "&&", "copy" and
// the "<" and ">" redirections itself; opening a pipe name for a
// redirection is what completes the server's ConnectNamedPipe.
//
// Inheritance: cmd gets exactly three handles: the null device as standard
// input, and copies of the server's standard output and error (as with the
// runtime's system()), named in a handle list so that no socket, pipe or
// file of the server reaches cmd or the engines it starts, even one made
// inheritable by another thread at that moment.
//
// Statuses are cmd's exit code: the last program's exit status, 1 for a
// failed "cd" or "copy", 9009 when a program cannot be found. A program that
// crashed gives its NTSTATUS, negative as an int. 9009 also when cmd itself
// cannot be started.
#include <windows.h>

#include <string>
#include <vector>

#include "os_handles_internal.h"
#include "platform/platform.h"

namespace {

constexpr int status_not_started = 9009;
constexpr DWORD inherited_count = 3;

// The attribute list that names the handles cmd inherits.
struct attribute_list_t {
    std::vector<unsigned char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

    attribute_list_t() = default;
    attribute_list_t(const attribute_list_t&) = delete;
    attribute_list_t& operator=(const attribute_list_t&) = delete;
    ~attribute_list_t() {
        if (list != nullptr) {
            DeleteProcThreadAttributeList(list);
        }
    }
    bool init(HANDLE* handles, DWORD count) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        auto candidate = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(candidate, 1, 0, &size)) {
            return false;
        }
        list = candidate;
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr) != 0;
    }
};

HANDLE inheritable_null(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

// An inheritable copy of one of the server's standard handles, or the null
// device when the server has none.
HANDLE inheritable_copy(DWORD which) {
    HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own != nullptr && own != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
        return copy;
    }
    return inheritable_null(GENERIC_WRITE);
}

int not_started(DWORD error) {
    SetLastError(error);
    return status_not_started;
}

}  // namespace

int os_run_command(const std::string& line) {
    char system_dir[MAX_PATH];
    UINT dir_length = GetSystemDirectoryA(system_dir, MAX_PATH);
    if (dir_length == 0 || dir_length >= MAX_PATH) {
        return not_started(dir_length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
    }
    const std::string program = std::string(system_dir) + "\\cmd.exe";
    const std::string text = "cmd.exe /d /s /c \"" + line + "\"";
    std::vector<char> command_line(text.begin(), text.end());
    command_line.push_back('\0');  // CreateProcessA may write into it

    owned_handle_t input(inheritable_null(GENERIC_READ));
    owned_handle_t output(inheritable_copy(STD_OUTPUT_HANDLE));
    owned_handle_t error_output(inheritable_copy(STD_ERROR_HANDLE));
    if (!input.valid() || !output.valid() || !error_output.valid()) {
        return not_started(GetLastError());
    }
    HANDLE inherited[inherited_count] = {input.h, output.h, error_output.h};
    attribute_list_t attributes;
    if (!attributes.init(inherited, inherited_count)) {
        return not_started(GetLastError());
    }
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.h;
    startup.StartupInfo.hStdOutput = output.h;
    startup.StartupInfo.hStdError = error_output.h;
    startup.lpAttributeList = attributes.list;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                        &started)) {
        return not_started(GetLastError());
    }
    owned_handle_t process(started.hProcess);
    owned_handle_t thread(started.hThread);
    // cmd holds its own copies now; ours need not live as long as the engine.
    thread.reset();
    input.reset();
    output.reset();
    error_output.reset();

    if (WaitForSingleObject(process.h, INFINITE) != WAIT_OBJECT_0) {
        return not_started(GetLastError());
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.h, &code)) {
        return not_started(GetLastError());
    }
    return static_cast<int>(code);
}
