// tamblit-bridge wrap <plug-in.so> [--into DIR]
//
// Makes a bridged copy: DIR/<name>.so, a copy of tamblit-bridge.so, plus
// DIR/<name>.so.target naming the plug-in it stands for and the worker.
// Hosts then load DIR/<name>.so like any plug-in; the real one runs in a
// worker process of its own. The copy is a real file, not a link: the
// dynamic loader shares one image between paths to the same file, and each
// bridged copy must find its own side file.
#include "BridgeIo.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tamblit::bridge;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: tamblit-bridge wrap <plug-in.so> [--into DIR]\n"
                 "  Makes DIR/<plug-in>.so, a crash-protecting stand-in that runs the plug-in\n"
                 "  in a process of its own. DIR defaults to ~/.vst/tamblit-bridged.\n");
    return 2;
}

std::string ownDirectory()
{
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    return length > 0 ? directoryOf(std::string(exe, static_cast<std::size_t>(length))) : ".";
}

bool makeDirectories(const std::string& path)
{
    std::string partial;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        partial = path.substr(0, at);
        if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Runs the worker's probe on the plug-in: loads it in a throw-away process.
bool probe(const std::string& worker, const std::string& plugin, std::string& report)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string argv0 = worker;
    char probeArg[] = "--probe";
    std::string pluginArg = plugin;
    char* argv[] = {argv0.data(), probeArg, pluginArg.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, worker.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(out[0], buffer, sizeof(buffer))) > 0)
        report.append(buffer, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool copyFile(const std::string& from, const std::string& to)
{
    // A fresh file renamed into place: a host that has the old copy loaded keeps it.
    const std::string temporary = to + ".tmp";
    {
        std::ifstream in(from, std::ios::binary);
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!in || !out)
            return false;
        out << in.rdbuf();
        if (!out)
            return false;
    }
    chmod(temporary.c_str(), 0755);
    return std::rename(temporary.c_str(), to.c_str()) == 0;
}

int wrap(const std::string& plugin, std::string into)
{
    char resolved[PATH_MAX] = {};
    if (realpath(plugin.c_str(), resolved) == nullptr) {
        std::fprintf(stderr, "tamblit-bridge: %s: %s\n", plugin.c_str(), std::strerror(errno));
        return 1;
    }
    const std::string target = resolved;
    SideFile existing;
    if (readSideFile(sideFilePathFor(target), existing)) {
        std::fprintf(stderr, "tamblit-bridge: %s is itself a bridged copy (of %s)\n", target.c_str(),
                     existing.target.c_str());
        return 1;
    }
    const std::string tools = ownDirectory();
    const std::string bridge = tools + "/tamblit-bridge.so";
    const std::string worker = tools + "/tamblit-bridge-worker";
    if (access(bridge.c_str(), R_OK) != 0 || access(worker.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "tamblit-bridge: %s and tamblit-bridge-worker must lie beside this command\n",
                     bridge.c_str());
        return 1;
    }
    std::string report;
    if (!probe(worker, target, report)) {
        std::fprintf(stderr, "tamblit-bridge: %s is not a VST 2.x plug-in the worker can load\n", target.c_str());
        return 1;
    }

    if (into.empty()) {
        const char* home = std::getenv("HOME");
        if (home == nullptr) {
            std::fprintf(stderr, "tamblit-bridge: HOME is not set; give --into DIR\n");
            return 1;
        }
        into = std::string(home) + "/.vst/tamblit-bridged";
    }
    if (!makeDirectories(into)) {
        std::fprintf(stderr, "tamblit-bridge: cannot make %s\n", into.c_str());
        return 1;
    }
    const auto slash = target.find_last_of('/');
    const std::string copy = into + "/" + target.substr(slash + 1);
    char copyResolved[PATH_MAX] = {};
    if (realpath(copy.c_str(), copyResolved) != nullptr && target == copyResolved) {
        std::fprintf(stderr, "tamblit-bridge: the copy would replace the plug-in itself; choose another --into\n");
        return 1;
    }
    if (!writeSideFile(sideFilePathFor(copy), SideFile{target, worker}) || !copyFile(bridge, copy)) {
        std::fprintf(stderr, "tamblit-bridge: cannot write %s\n", copy.c_str());
        return 1;
    }
    std::printf("%s\nbridged: %s -> %s\n", report.c_str(), copy.c_str(), target.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || std::strcmp(argv[1], "wrap") != 0)
        return usage();
    std::string plugin = argv[2];
    std::string into;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--into") == 0 && i + 1 < argc)
            into = argv[++i];
        else
            return usage();
    }
    return wrap(plugin, into);
}
