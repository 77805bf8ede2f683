// A private PostgreSQL server for one test process: a new cluster in a temporary folder
// (initdb, owned by an unprivileged user when the test runs as root), served on a free loopback
// port and stopped and removed at the end.
#pragma once

#include <string>
#include <vector>

class PrivatePostgres {
  public:
    // Why no server can be started here ("" when it can): the server programs are missing.
    static std::string MissingReason();

    PrivatePostgres();  // starts; see Running()
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    bool Running() const { return running_; }
    // Stops the server (its clients lose their connections) and starts it again on the same
    // port and data.
    bool Stop();
    bool Start();
    const std::string& Error() const { return error_; }
    // "postgresql://tev@127.0.0.1:PORT/postgres"
    std::string Location() const;

  private:
    bool Run(const std::string& program, const std::vector<std::string>& arguments);

    std::string bin_;
    std::string folder_;
    std::string data_;
    int port_ = 0;
    bool running_ = false;
    std::string error_;
    // The user the server runs as when the test runs as root (initdb refuses root).
    unsigned uid_ = 0;
    unsigned gid_ = 0;
    bool switchUser_ = false;
};
