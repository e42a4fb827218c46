// RESTCONF requests on data resources and actions, carried out over one command-line connection
// to the database (no HTTP here: the server hands in method, path, body and formats).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "peers/cdbd/cdbd_schema.h"
#include "peers/cdbd/restconf_server.h"

namespace cdbd::restconf {

enum class Format { Json, Xml };

struct Response {
    int status = 200;
    std::string body;
    std::string content_type;
    std::string location;  // 201 Created
};

const char *content_type(Format f);
// An "ietf-restconf:errors" answer with one error.
Response error(int status, const std::string &tag, const std::string &message, Format f);
// A JSON string literal.
std::string json_quote(std::string_view s);

class DataApi {
  public:
    explicit DataApi(const RestconfOptions &opts) : opts_(opts) {}
    ~DataApi();
    DataApi(const DataApi &) = delete;
    DataApi &operator=(const DataApi &) = delete;

    // Loads the models (paths and bodies are checked against them). False with a message.
    bool init(std::string &err);

    // One request on "/restconf/data" + path (path "" or "/..." as the client sent it, still
    // percent-encoded).
    Response handle(std::string_view method, std::string_view path, const std::string &body,
                    Format in, Format out);

    // The command-line connection (connected on first use, again after a failure), or -1 with
    // a message.
    int connection(std::string &err);
    // Drops the connection after a failed exchange.
    void reset_connection();

    // Runs an action by its command-line path with name/value parameters: what it printed, or
    // false with the database's error code and message.
    bool run_action(const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &params,
                    std::string &printed, int &code, std::string &msg);

    struct Target;

  private:
    Response get(const Target &t, Format out);
    Response write(std::string_view method, const Target &t, const std::string &body, Format in,
                   Format out);
    Response remove(const Target &t, Format out);
    Response action(const Target &t, const std::string &body, Format in, Format out);
    // The command line's show of a path (config or stored operational data) as JSON; false with
    // the database's error code and message.
    bool show(const std::string &cli_path, bool oper, std::string &json, int &code,
              std::string &msg);
    // Commits a document (merge or replace): false with the database's error.
    bool commit(const std::string &json, bool replace, int &code, std::string &msg);
    // One request and its reply on the command-line connection: false with the database's error
    // code and message (the connection is dropped when the database went away).
    bool exchange(const std::vector<uint8_t> &frame, std::vector<uint8_t> &reply, int &code,
                  std::string &msg);

    RestconfOptions opts_;
    SchemaDb schema_;
    int fd_ = -1;
    bool schemas_loaded_ = false;
};

}  // namespace cdbd::restconf
