// Starting and removing a private PostgreSQL cluster. As root the server runs
// as the postgres user; directories of this helper carry the prefix zel-pg-
// and an owner file, so a later run removes only what a dead run left.
#include "pg_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "platform/db/connection.h"

namespace fs = std::filesystem;

namespace zel::testing {
namespace {

std::atomic<pid_t> gPostmaster{0};
std::atomic<bool> gSharedCreated{false};

bool holdsServer(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "initdb", ec) && fs::exists(dir / "pg_ctl", ec);
}

// Where the server programs are: ZEL_PG_BIN when set; else what
// `pg_config --bindir` names, when it holds them; else the newest
// /usr/lib/postgresql/<version>/bin that does. The description of the search
// when none does.
std::string findBinDir() {
    const char* env = std::getenv("ZEL_PG_BIN");
    if (env && *env) return env;
    if (FILE* p = popen("pg_config --bindir 2>/dev/null", "r")) {
        std::string out;
        char buf[512];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
        while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
        if (!out.empty() && holdsServer(out)) return out;
    }
    int newest = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        int version = std::atoi(name.c_str());
        if (version > newest && holdsServer(entry.path() / "bin")) newest = version;
    }
    if (newest >= 0) return "/usr/lib/postgresql/" + std::to_string(newest) + "/bin";
    return "the directory of pg_config --bindir or /usr/lib/postgresql/*/bin";
}

const std::string& binDir() {
    static const std::string dir = findBinDir();
    return dir;
}

// Runs a program without a shell; its output goes to `log`. The exit status.
int run(const std::vector<std::string>& args, const std::string& log) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// As root, the server must run as postgres.
std::vector<std::string> asServerUser(std::vector<std::string> args) {
    if (geteuid() != 0) return args;
    std::vector<std::string> out = {"runuser", "-u", "postgres", "--"};
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t postmasterPid(const fs::path& dataDir) {
    std::ifstream in(dataDir / "postmaster.pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

bool alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Clusters of this helper whose owning process is gone.
void sweepStale() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("zel-pg-", 0) != 0 || !fs::exists(entry.path() / "owner.pid", ec)) continue;
        pid_t owner = static_cast<pid_t>(std::atol(readFile(entry.path() / "owner.pid").c_str()));
        if (alive(owner)) continue;
        pid_t pm = postmasterPid(entry.path() / "data");
        if (alive(pm)) kill(pm, SIGQUIT);
        fs::remove_all(entry.path(), ec);
    }
}

void onFatalSignal(int sig) {
    pid_t pm = gPostmaster.load();
    if (pm > 0) kill(pm, SIGQUIT);  // async-signal-safe; the directory is swept by the next run
    signal(sig, SIG_DFL);
    raise(sig);
}

void stopShared() { PgCluster::shared().stop(); }

}  // namespace

PgCluster& PgCluster::shared() {
    static PgCluster* cluster = [] {
        gSharedCreated = true;
        auto* c = new PgCluster();
        c->start();
        if (c->running_) {
            std::atexit(stopShared);
            for (int sig : {SIGINT, SIGTERM, SIGABRT, SIGSEGV, SIGHUP}) signal(sig, onFatalSignal);
        }
        return c;
    }();
    return *cluster;
}

bool PgCluster::sharedCreated() { return gSharedCreated; }

bool PgCluster::skipAllowed() {
    const char* v = std::getenv("ZEL_SKIP_POSTGRES");
    return v && std::string(v) == "1";
}

void PgCluster::start() {
    sweepStale();
    std::string bin = binDir();
    if (!fs::exists(bin + "/initdb") || !fs::exists(bin + "/pg_ctl")) {
        error_ = "PostgreSQL server programs not found in " + bin + " (set ZEL_PG_BIN)";
        return;
    }
    std::string tmpl = (fs::temp_directory_path() / "zel-pg-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        error_ = std::string("cannot create a temporary directory: ") + std::strerror(errno);
        return;
    }
    dir_ = tmpl;
    std::ofstream(dir_ + "/owner.pid") << getpid() << "\n";
    if (geteuid() == 0) {
        passwd* pw = getpwnam("postgres");
        if (!pw || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            error_ = "running as root, but there is no postgres user to run the server as";
            stop();
            return;
        }
    }
    chmod(dir_.c_str(), 0700);
    std::string data = dir_ + "/data";
    std::string log = dir_ + "/setup.log";
    if (run(asServerUser({bin + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C",
                          "--no-sync"}),
            log) != 0) {
        error_ = "initdb failed: " + readFile(log);
        stop();
        return;
    }
    for (int attempt = 0; attempt < 3 && !running_; ++attempt) {
        port_ = freePort();
        // Tests need no flushes; ZEL_PG_DURABLE=1 (the benchmarks) keeps the
        // server's durable defaults: fsync, synchronous commit, full pages.
        const char* durable = std::getenv("ZEL_PG_DURABLE");
        std::string opts = "-p " + std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=127.0.0.1";
        if (!(durable && std::string(durable) == "1"))
            opts += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
        // ZEL_PG_EXTRA adds server options, e.g. "-c log_statement=all" to see
        // what a run sends.
        if (const char* extra = std::getenv("ZEL_PG_EXTRA")) opts += std::string(" ") + extra;
        if (run(asServerUser(
                    {bin + "/pg_ctl", "-D", data, "-o", opts, "-l", dir_ + "/server.log", "-w", "-t", "60", "start"}),
                log) == 0) {
            running_ = true;
            gPostmaster = postmasterPid(data);
        }
    }
    if (!running_) {
        error_ = "pg_ctl start failed: " + readFile(log) + readFile(dir_ + "/server.log");
        stop();
    }
}

void PgCluster::stop() {
    if (dir_.empty()) return;
    std::string data = dir_ + "/data";
    if (running_) {
        pid_t pm = postmasterPid(data);
        if (run(asServerUser({binDir() + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"}),
                dir_ + "/setup.log") != 0 &&
            alive(pm))
            kill(pm, SIGQUIT);
        running_ = false;
        gPostmaster = 0;
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
}

void PgCluster::halt() {
    if (!running_) return;
    std::string data = dir_ + "/data";
    pid_t pm = postmasterPid(data);
    if (run(asServerUser({binDir() + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"}), dir_ + "/setup.log") !=
            0 &&
        alive(pm))
        kill(pm, SIGQUIT);
    running_ = false;
    gPostmaster = 0;
}

bool PgCluster::resume() {
    if (running_ || dir_.empty()) return running_;
    std::string data = dir_ + "/data";
    std::string opts = "-p " + std::to_string(port_) + " -k " + dir_ +
                       " -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
    if (run(asServerUser(
                {binDir() + "/pg_ctl", "-D", data, "-o", opts, "-l", dir_ + "/server.log", "-w", "-t", "60", "start"}),
            dir_ + "/setup.log") == 0) {
        running_ = true;
        gPostmaster = postmasterPid(data);
    }
    return running_;
}

std::string PgCluster::connectionString(const std::string& dbname) const {
    return "postgresql://host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + dbname + " user=postgres";
}

std::string PgCluster::createDatabase(const std::string& prefix) {
    if (!running_) throw std::runtime_error("the PostgreSQL cluster is not running: " + error_);
    std::string name = prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(++databases_);
    db::Connection admin(connectionString("postgres"));
    admin.executeDirect("CREATE DATABASE " + name);
    return name;
}

}  // namespace zel::testing
