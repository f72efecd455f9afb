// orlex-fake-game: the game program of test and demo releases, published there as runtime/bin/java. It takes
// the command line the launcher gives the game and the world builder, says on its standard output (the
// child's log file) what it was started with, and then does what a script tells it, so that a test can
// watch the launcher's side of a run: markers, exit codes, descriptors, environment, the editor session
// broker. It runs on Linux only.
//
// Command line, as for a Java runtime:
//   orlex-fake-game [OPTION]... MAIN-CLASS [APP-ARG]...
// Options before the main class: "-D<name>=<value>" (a property; "-D<name>" has the empty value),
// "-cp" or "-classpath" followed by the class path (':'-separated), and any other word starting with "-"
// as a flag ("--enable-native-access=ALL-UNNAMED", "-XstartOnFirstThread"). The first other word is the
// main class; every later word is an application argument. It first prints the main class, the application
// arguments, the player (ORLEX_PLAYER_NAME) and whether a game token and a broker key are present:
//   fake game: com.orlex.client.Desktop (player joueur, game token present, no builder session) running
// Token and key values are never printed; only whether they are present.
//
// Script: the file named by the environment variable ORLEX_FAKE_GAME_SCRIPT. Without that variable the
// program runs for 200 ms and exits with 0. The script is read and checked whole before anything runs;
// one instruction per line, surrounding blanks ignored, blank lines and lines starting with '#' skipped:
//   print <text>       prints the text (the rest of the line) on standard output
//   sleep <ms>         sleeps that many milliseconds
//   touch-env <NAME>   creates (or empties) the file named by the environment variable NAME
//   record <file>      writes the record below to <file>
//   broker <file>      asks the editor session broker for a grant and writes its answer to <file>
//   exit <code>        exits at once with that status (0 to 255)
// After the last instruction the program exits with 0.
// Files are written whole to "<file>.tmp", then renamed to <file>: a reader polling for <file> never sees
// part of one.
//
// Record: one item per line, "<kind> <value>", in this order:
//   argv <word>        every word of the command line, the program path first
//   main <class>       the main class
//   arg <word>         each application argument
//   prop <name>=<value>  each property, in command line order
//   cp <entry>         each class path entry
//   cwd <dir>          the working directory
//   env <NAME>=<value> each environment variable whose name starts with "ORLEX_", sorted by name
//   fd <n> -> <target> each open descriptor other than 0, 1 and 2, ascending (targets as /proc/self/fd
//                      shows them: a path, "pipe:[…]", "socket:[…]", …)
// A value is written with '\' as "\\", a line feed as "\n" and a carriage return as "\r".
//
// Broker: POST to the path of ORLEX_BUILDER_SESSION_URL ("http://127.0.0.1:<port>/<path>") with
// "Authorization: Bearer <ORLEX_BUILDER_SESSION_KEY>". The answer file holds "status <code>" and a line
// feed, then the body as received; "status none" alone when no answer came (refused, closed, no reply in
// 15 s). An answer over 64 KiB is a failure.
//
// Exit statuses: 0 at the end; 2 for a malformed command line or an unreadable or malformed script; 3 when
// an instruction's environment variable is missing or unusable; 4 when a file cannot be written; the code of
// "exit". Each failure is said on standard error.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds DEFAULT_RUN{200};
constexpr std::size_t ANSWER_LIMIT = 64 * 1024;
constexpr int ANSWER_TIMEOUT_SECONDS = 15;
constexpr int MALFORMED = 2;
constexpr int MISSING_VARIABLE = 3;
constexpr int WRITE_FAILED = 4;

// Ends the program with status, after saying message on standard error.
struct Stop {
    int status;
    std::string message;
};

struct CommandLine {
    std::vector<std::string> words;  // all of argv
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<std::string> classPath;
    std::string mainClass;
    std::vector<std::string> appArgs;
};

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(separator, at), text.size());
        parts.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    line.words.assign(argv, argv + argc);
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        const std::string_view word = argv[at];
        if (word == "-cp" || word == "-classpath") {
            if (++at == argc)
                throw Stop{MALFORMED, std::string(word) + " without a class path"};
            line.classPath = split(argv[at], ':');
        } else if (word.starts_with("-D")) {
            const std::string_view property = word.substr(2);
            const std::size_t equals = std::min(property.find('='), property.size());
            if (equals == 0)
                throw Stop{MALFORMED, "property without a name: " + std::string(word)};
            line.properties.emplace_back(property.substr(0, equals),
                                         property.substr(std::min(equals + 1, property.size())));
        }
        // Any other option is a flag that changes nothing here; it stays visible in the record's argv.
    }
    if (at == argc)
        throw Stop{MALFORMED, "no main class"};
    line.mainClass = argv[at];
    line.appArgs.assign(argv + at + 1, argv + argc);
    return line;
}

const char* environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value)
        throw Stop{MISSING_VARIABLE, "environment variable " + name + " is not set"};
    return value;
}

void announce(const CommandLine& line) {
    std::string said = "fake game: " + line.mainClass;
    for (const std::string& arg : line.appArgs)
        said += " " + arg;
    const char* player = std::getenv("ORLEX_PLAYER_NAME");
    said += player ? std::string(" (player ") + player : std::string(" (no player");
    said += std::getenv("ORLEX_GAME_TOKEN") ? ", game token present" : ", no game token";
    said += std::getenv("ORLEX_BUILDER_SESSION_KEY") ? ", builder session present" : ", no builder session";
    std::cout << said << ") running" << std::endl;
}

struct Instruction {
    std::string name;
    std::string argument;
    long number = 0;  // for sleep and exit
};

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<Instruction> readScript(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw Stop{MALFORMED, "cannot read the script " + path};
    std::vector<Instruction> script;
    std::string text;
    for (int lineNumber = 1; std::getline(in, text); ++lineNumber) {
        const std::string_view line = trimmed(text);
        if (line.empty() || line.starts_with('#'))
            continue;
        const std::size_t space = std::min(line.find_first_of(" \t"), line.size());
        Instruction instruction{std::string(line.substr(0, space)), std::string(trimmed(line.substr(space)))};
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        const std::string& name = instruction.name;
        if (name != "print" && name != "sleep" && name != "touch-env" && name != "record" &&
            name != "broker" && name != "exit")
            throw Stop{MALFORMED, where + "unknown instruction " + name};
        if (name != "print" && instruction.argument.empty())
            throw Stop{MALFORMED, where + name + " without its argument"};
        if (name == "sleep" || name == "exit") {
            const std::string& digits = instruction.argument;
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), instruction.number);
            const long highest = name == "exit" ? 255 : std::numeric_limits<long>::max();
            if (error != std::errc() || end != digits.data() + digits.size() || instruction.number < 0 ||
                instruction.number > highest)
                throw Stop{MALFORMED, where + name + " needs a number in range, not " + digits};
        }
        script.push_back(std::move(instruction));
    }
    return script;
}

void writeWhole(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        if (!out)
            throw Stop{WRITE_FAILED, "cannot write " + temporary};
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error)
        throw Stop{WRITE_FAILED, "cannot rename " + temporary + ": " + error.message()};
}

std::string escaped(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// The descriptors this process holds beyond the standard three, as "fd <n> -> <target>" lines.
std::vector<std::string> descriptorLines() {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir("/proc/self/fd"), closedir);
    if (!directory)
        throw Stop{WRITE_FAILED, "cannot list /proc/self/fd"};
    std::vector<std::pair<int, std::string>> found;
    while (const dirent* entry = readdir(directory.get())) {
        int fd = 0;
        const std::string_view name = entry->d_name;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc() || fd <= 2 ||
            fd == dirfd(directory.get()))
            continue;
        std::error_code error;
        const fs::path target = fs::read_symlink("/proc/self/fd/" + std::string(name), error);
        found.emplace_back(fd, error ? "?" : target.string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> lines;
    for (const auto& [fd, target] : found)
        lines.push_back("fd " + std::to_string(fd) + " -> " + escaped(target));
    return lines;
}

std::string record(const CommandLine& line) {
    std::vector<std::string> environmentLines;
    for (char** each = environ; *each; ++each)
        if (std::string_view(*each).starts_with("ORLEX_"))
            environmentLines.push_back("env " + escaped(*each));
    std::sort(environmentLines.begin(), environmentLines.end());

    std::ostringstream out;
    for (const std::string& word : line.words)
        out << "argv " << escaped(word) << '\n';
    out << "main " << escaped(line.mainClass) << '\n';
    for (const std::string& arg : line.appArgs)
        out << "arg " << escaped(arg) << '\n';
    for (const auto& [name, value] : line.properties)
        out << "prop " << escaped(name) << '=' << escaped(value) << '\n';
    for (const std::string& entry : line.classPath)
        out << "cp " << escaped(entry) << '\n';
    out << "cwd " << escaped(fs::current_path().string()) << '\n';
    for (const std::string& each : environmentLines)
        out << each << '\n';
    for (const std::string& each : descriptorLines())
        out << each << '\n';
    return out.str();
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

struct Answer {
    std::string status;  // the three digits of the status line, or "none" when no answer came
    std::string body;
};

Answer askBroker() {
    const std::string url = environment("ORLEX_BUILDER_SESSION_URL");
    const std::string key = environment("ORLEX_BUILDER_SESSION_KEY");
    constexpr std::string_view ORIGIN = "http://127.0.0.1:";
    const std::size_t slash = url.find('/', ORIGIN.size());
    std::uint16_t port = 0;
    const auto [portEnd, portError] =
        url.starts_with(ORIGIN) && slash != std::string::npos
            ? std::from_chars(url.data() + ORIGIN.size(), url.data() + slash, port)
            : std::from_chars_result{nullptr, std::errc::invalid_argument};
    if (portError != std::errc() || portEnd != url.data() + slash || port == 0)
        throw Stop{MISSING_VARIABLE,
                   "ORLEX_BUILDER_SESSION_URL is not http://127.0.0.1:<port>/<path>: " + url};

    const Answer none{"none", {}};
    const Socket connection(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connection.fd() < 0)
        return none;
    const timeval timeout{ANSWER_TIMEOUT_SECONDS, 0};
    setsockopt(connection.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(connection.fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "fake game: broker: connect: " << std::strerror(errno) << '\n';
        return none;
    }
    const std::string request =
        "POST " + url.substr(slash) + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAuthorization: Bearer " + key + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t done =
            send(connection.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return none;
        sent += static_cast<std::size_t>(done);
    }
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t got = recv(connection.fd(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // the broker closes after its answer; a failure or a time-out ends what came
        if (static_cast<std::size_t>(got) > ANSWER_LIMIT - received.size())
            throw Stop{WRITE_FAILED, "broker answer over " + std::to_string(ANSWER_LIMIT) + " bytes"};
        received.append(buffer, static_cast<std::size_t>(got));
    }
    // "HTTP/1.1 200 OK\r\n<header lines>\r\n\r\n<body>"
    const std::size_t headEnd = received.find("\r\n\r\n");
    const std::string status = received.substr(std::min<std::size_t>(9, received.size()), 3);
    if (!received.starts_with("HTTP/1.1 ") || headEnd == std::string::npos || status.size() != 3 ||
        !std::all_of(status.begin(), status.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return none;
    return {status, received.substr(headEnd + 4)};
}

void run(const Instruction& instruction, const CommandLine& line) {
    const std::string& name = instruction.name;
    if (name == "print") {
        std::cout << instruction.argument << std::endl;
    } else if (name == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(instruction.number));
    } else if (name == "touch-env") {
        const std::string path = environment(instruction.argument);
        std::ofstream out(path, std::ios::trunc);
        if (!out)
            throw Stop{WRITE_FAILED, "cannot create " + path};
    } else if (name == "record") {
        writeWhole(instruction.argument, record(line));
    } else if (name == "broker") {
        const Answer answer = askBroker();
        writeWhole(instruction.argument, "status " + answer.status + "\n" + answer.body);
    } else if (name == "exit") {
        std::cout.flush();
        std::exit(static_cast<int>(instruction.number));
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const CommandLine line = parseCommandLine(argc, argv);
        const char* scriptPath = std::getenv("ORLEX_FAKE_GAME_SCRIPT");
        const std::vector<Instruction> script =
            scriptPath ? readScript(scriptPath) : std::vector<Instruction>{};
        announce(line);
        if (!scriptPath)
            std::this_thread::sleep_for(DEFAULT_RUN);
        for (const Instruction& instruction : script)
            run(instruction, line);
        return 0;
    } catch (const Stop& stop) {
        std::cout.flush();
        std::cerr << "fake game: " << stop.message << std::endl;
        return stop.status;
    }
}
