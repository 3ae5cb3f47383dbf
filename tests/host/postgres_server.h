// A PostgreSQL server of the caller's own, from the system's PostgreSQL
// package: initdb and pg_ctl in a temporary folder, listening on a Unix
// socket in that folder only, with password logins. PostgreSQL refuses to run
// as the superuser, so a caller running as root has the server run as the
// user postgres, or nobody where there is none.
#pragma once

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <vector>

class PostgresServer {
  public:
    // Why no server can be started here (the package is not installed);
    // nothing when one can.
    static std::optional<std::string> Unavailable();

    // Creates the cluster and starts it; throws std::runtime_error with the
    // server's own words when it cannot.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    void start();
    void stop();

    // A URI for the database, without the password, which goes in
    // PGPASSWORD; the user is the cluster's superuser.
    std::string uri(const std::string& database) const;
    // The folder of the server's socket.
    const std::string& socketFolder() const { return socketFolder_; }
    static const char* password() { return "kovra-test-password"; }

  private:
    void runAsServerUser(const std::vector<std::string>& arguments) const;

    std::string binFolder_;
    std::string folder_;
    std::string dataFolder_;
    std::string socketFolder_;
    unsigned uid_ = 0;
    unsigned gid_ = 0;
    bool running_ = false;
};

// One connection for a test's own statements; throws std::runtime_error with
// the server's words.
class SqlSession {
  public:
    explicit SqlSession(const std::string& uri);
    ~SqlSession();
    SqlSession(const SqlSession&) = delete;
    SqlSession& operator=(const SqlSession&) = delete;

    void run(const std::string& sql);
    // The first column of the first row, empty for NULL or no row.
    std::string value(const std::string& sql);
    // Every row, its columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql);

  private:
    PGresult* execute(const std::string& sql);
    PGconn* connection_ = nullptr;
};
