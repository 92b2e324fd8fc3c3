#pragma once
// rc_service: the remote-control service. One client at a time sends 1024-byte commands over
// TCP on the port of the setting rc_service_port (default "12700"); each whole command is
// handed to the window as an rc_command_message (code, session code "first : second" or
// empty, as wide text) and acknowledged with 1024 zero bytes (net/rc_protocol.h).
//
// Built on net/tcp_service.h. While a client is connected no further connection is accepted:
// later clients wait in the listen queue and are accepted, in order, once the current one has
// gone, however it went. A command is read whole, however its bytes arrive, and carried out
// only if its client is still connected when it is read: a client that has gone meanwhile
// (closed while waiting in the queue) is not obeyed. Time-outs (timeouts): a client that
// begins no command within 10 s is dropped ("Клиент управления бездействует, соединение закрыто"), and so is one
// that has not completed a command within 10 s of connecting or of its previous command, so
// nobody holds remote control for longer than that without using it; a command not complete
// within 10 s of its first byte posts "Неверный размер команды" and drops the connection without
// carrying it out; an acknowledgement not taken within 10 s drops it too. The port setting is read again after
// each accepted connection. Rows: "Входящее соединение управления от: %s", "Соединение управления закрыто",
// receive errors (end of stream excepted) as information rows, accept and send errors as
// error rows, all through a rate_limited_sink; commands always pass.
//
// Ownership: owns its threads and the connection; stop() (and destruction) closes and joins
// them. The window decides at start-up whether the service exists at all.
// Thread safety: start(), stop() from one controlling thread; port() from any.
#include <cstdint>
#include <memory>
#include <string>

#include "base/thread_message.h"
#include "net/tcp_service.h"
#include "settings/settings_store.h"

class rc_service {
public:
    struct options {
        std::string bind_address = "0.0.0.0";
        connection_timeouts timeouts{std::chrono::seconds(10), std::chrono::seconds(10), std::chrono::seconds(10),
                                     std::chrono::seconds(10)};
    };

    rc_service(event_sink_ptr sink, settings_ptr settings, options opts);
    rc_service(event_sink_ptr sink, settings_ptr settings)
        : rc_service(std::move(sink), std::move(settings), options{}) {}
    ~rc_service();
    rc_service(const rc_service&) = delete;
    rc_service& operator=(const rc_service&) = delete;

    void start();
    void stop();
    std::uint16_t port() const { return service_->port(); }

private:
    event_sink_ptr sink_;  // rate limited for rows; commands pass
    settings_ptr settings_;
    connection_timeouts timeouts_;
    std::unique_ptr<tcp_service> service_;  // last: its connection uses the members above
};
