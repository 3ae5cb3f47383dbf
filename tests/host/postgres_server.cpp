#include "postgres_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Debian keeps the server's programs out of PATH, one folder per major
// version; the newest wins.
std::optional<std::string> BinFolder() {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        if (fs::exists(entry.path() / "bin" / "initdb")) {
            found.push_back(entry.path() / "bin");
        }
    }
    if (found.empty()) {
        const char* path = std::getenv("PATH");
        std::stringstream folders(path != nullptr ? path : "");
        std::string folder;
        while (std::getline(folders, folder, ':')) {
            if (!folder.empty() && fs::exists(fs::path(folder) / "initdb") &&
                fs::exists(fs::path(folder) / "pg_ctl")) {
                return folder;
            }
        }
        return std::nullopt;
    }
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        return std::atoi(a.parent_path().filename().c_str()) <
               std::atoi(b.parent_path().filename().c_str());
    });
    return found.back().string();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::optional<std::string> PostgresServer::Unavailable() {
    if (!BinFolder()) {
        return "PostgreSQL's initdb is not installed (Debian package postgresql)";
    }
    return std::nullopt;
}

PostgresServer::PostgresServer() {
    const auto bin = BinFolder();
    if (!bin) {
        throw std::runtime_error(*Unavailable());
    }
    binFolder_ = *bin;
    char folder[] = "/tmp/kovra-postgres-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = folder;
    dataFolder_ = folder_ + "/data";
    socketFolder_ = folder_ + "/run";
    uid_ = geteuid();
    gid_ = getegid();
    if (uid_ == 0) {
        const passwd* user = getpwnam("postgres");
        if (user == nullptr) {
            user = getpwnam("nobody");
        }
        if (user == nullptr) {
            throw std::runtime_error("no unprivileged user to run PostgreSQL as");
        }
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
    }
    // The server user passes through the folder into its own two.
    chmod(folder_.c_str(), 0755);
    for (const auto& own : {dataFolder_, socketFolder_}) {
        mkdir(own.c_str(), 0700);
        if (chown(own.c_str(), uid_, gid_) != 0) {
            throw std::runtime_error("cannot hand " + own + " to the server's user");
        }
    }
    chmod(socketFolder_.c_str(), 0755);
    const std::string passwordFile = socketFolder_ + "/password";
    std::ofstream(passwordFile) << password() << "\n";
    if (chown(passwordFile.c_str(), uid_, gid_) != 0) {
        throw std::runtime_error("cannot hand " + passwordFile + " to the server's user");
    }
    runAsServerUser({binFolder_ + "/initdb", "-D", dataFolder_, "-U", "kovra",
                     "--pwfile=" + passwordFile, "-A", "scram-sha-256", "-E", "UTF8", "--locale=C",
                     "--no-sync"});
    start();
}

PostgresServer::~PostgresServer() {
    try {
        stop();
    } catch (const std::exception&) {
        // Gone already; the folder goes all the same.
    }
    std::error_code error;
    fs::remove_all(folder_, error);
}

void PostgresServer::start() {
    // No TCP at all: the socket in the folder is the only way in.
    runAsServerUser({binFolder_ + "/pg_ctl", "-D", dataFolder_, "-l", socketFolder_ + "/server.log",
                     "-w", "-t", "60", "-o",
                     "-k " + socketFolder_ + " -c listen_addresses= -c fsync=off", "start"});
    running_ = true;
}

void PostgresServer::stop() {
    if (!running_) {
        return;
    }
    runAsServerUser({binFolder_ + "/pg_ctl", "-D", dataFolder_, "-m", "fast", "-w", "stop"});
    running_ = false;
}

std::string PostgresServer::uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + socketFolder_ + "&user=kovra";
}

void PostgresServer::runAsServerUser(const std::vector<std::string>& arguments) const {
    const std::string output = folder_ + "/command.out";
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0)) {
            _exit(126);
        }
        // The server user may not read the caller's current folder.
        if (chdir(folder_.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(fs::path(arguments[0]).filename().string() + " failed: " +
                                 ReadAll(output) + ReadAll(socketFolder_ + "/server.log"));
    }
}

SqlSession::SqlSession(const std::string& uri) {
    const std::string withPassword = uri + "&password=" + PostgresServer::password();
    connection_ = PQconnectdb(withPassword.c_str());
    if (PQstatus(connection_) != CONNECTION_OK) {
        const std::string reason = PQerrorMessage(connection_);
        PQfinish(connection_);
        throw std::runtime_error("cannot connect to " + uri + ": " + reason);
    }
    PQclear(execute("SET client_min_messages = warning"));
}

SqlSession::~SqlSession() {
    PQfinish(connection_);
}

PGresult* SqlSession::execute(const std::string& sql) {
    PGresult* result = PQexec(connection_, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string reason = PQresultErrorMessage(result);
        PQclear(result);
        throw std::runtime_error(sql + ": " + reason);
    }
    return result;
}

void SqlSession::run(const std::string& sql) {
    PQclear(execute(sql));
}

std::string SqlSession::value(const std::string& sql) {
    PGresult* result = execute(sql);
    std::string text = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    PQclear(result);
    return text;
}

std::vector<std::string> SqlSession::rows(const std::string& sql) {
    PGresult* result = execute(sql);
    std::vector<std::string> rows;
    for (int row = 0; row < PQntuples(result); ++row) {
        std::string text;
        for (int column = 0; column < PQnfields(result); ++column) {
            text += (column == 0 ? "" : "|") + std::string(PQgetvalue(result, row, column));
        }
        rows.push_back(text);
    }
    PQclear(result);
    return rows;
}
