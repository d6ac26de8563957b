#include "corvane/redis/connection.h"

#include "corvane/redis/failure.h"

namespace corvane::redis {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// An error reply to AUTH without the arguments that some errors quote back ("unknown
// command 'AUTH', with args beginning with: 'user' 'password'"): the text up to the first quote.
std::string auth_error_text(const std::string& text) {
    std::string safe = text.substr(0, text.find('\''));
    while (!safe.empty() && (safe.back() == ' ' || safe.back() == ',')) safe.pop_back();
    return safe;
}

// OK from AUTH or SELECT, or the failure that the reply stands for. Any error in answer to
// AUTH means the credentials were not accepted.
void expect_ok(const ReplyHead& reply, bool is_auth) {
    if (reply.kind == ReplyKind::Status && reply.text == "OK") return;
    if (reply.kind == ReplyKind::Error) {
        if (is_auth) throw Failure(FailureKind::Authentication, auth_error_text(reply.text));
        raise_error_reply(reply.text);
    }
    protocol_failure(std::string("unexpected ") + reply_kind_name(reply.kind) + " reply to " +
                     (is_auth ? "AUTH" : "SELECT"));
}

}  // namespace

FailureKind error_reply_kind(std::string_view text) noexcept {
    static constexpr std::string_view kAuthPrefixes[] = {
        "WRONGPASS",
        "NOAUTH",
        "ERR invalid password",
        "ERR invalid username-password pair",
        "ERR Client sent AUTH, but no password is set",
        "ERR AUTH <password> called without any password configured",
    };
    for (std::string_view prefix : kAuthPrefixes) {
        if (starts_with(text, prefix)) return FailureKind::Authentication;
    }
    return FailureKind::Response;
}

void raise_error_reply(const std::string& text) { throw Failure(error_reply_kind(text), text); }

Connection::Connection(Stream stream) : stream_(std::move(stream)), reader_(stream_) {}

std::unique_ptr<Connection> Connection::open(const Settings& settings) {
    const std::string label = endpoint_label(settings.host, settings.port);
    const Deadline deadline = Deadline::after(settings.connect_timeout);
    UniqueFd fd = connect_tcp(settings.host, settings.port, deadline, settings.on_signal);
    SslPtr ssl;
    if (settings.tls) {
        ssl = settings.tls->handshake(fd.get(), settings.host, label, deadline, settings.on_signal);
    }
    std::unique_ptr<Connection> connection(new Connection(
        Stream(std::move(fd), std::move(ssl), label, settings.socket_timeout, settings.on_signal)));
    connection->handshake(settings);
    return connection;
}

void Connection::handshake(const Settings& settings) {
    // AUTH and SELECT go out together; their replies come back in order.
    std::string pipeline;
    const bool auth = settings.username || settings.password;
    if (auth) {
        const std::string password = settings.password.value_or("");
        pipeline += settings.username ? encode_command({"AUTH", *settings.username, password})
                                      : encode_command({"AUTH", password});
    }
    const bool select = settings.db != 0;
    if (select) pipeline += encode_command({"SELECT", std::to_string(settings.db)});
    if (pipeline.empty()) return;
    stream_.write_all(pipeline);
    if (auth) expect_ok(reader_.read_head(), true);
    if (select) expect_ok(reader_.read_head(), false);
}

ReplyHead Connection::command(std::string_view encoded) {
    stream_.write_all(encoded);
    return reader_.read_head();
}

}  // namespace corvane::redis
