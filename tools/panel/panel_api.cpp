#include "panel_api.h"

#include <httplib.h>
#include <qelomsr/qelomsr.h>

#include <memory>

#include "panel_error.h"
#include "recording_export.h"
#include "request_body.h"
#include "session_registry.h"

namespace qpanel {

using nlohmann::json;

namespace {

// Digital port masks and range indexes are small; the bounds only keep
// absurd numbers out before the session checks them against the device.
constexpr long long kMaxMask = 0xFFFF;
constexpr long long kMaxRangeIndex = 63;
constexpr size_t kMaxChannels = 64;

std::string tokenOf(const httplib::Request& req) { return req.get_header_value("X-Panel-Token"); }

template <typename F>
void answer(httplib::Response& res, F&& handle) {
  try {
    const json result = handle();
    res.set_content(result.dump(), "application/json");
  } catch (const PanelError& e) {
    sendError(res, e.status(), e.what(), e.code());
  } catch (const qcli::ApiError& e) {
    sendError(res, statusForErrorClass(e.errorClass()), e.what());
  } catch (const std::exception& e) {
    sendError(res, 500, e.what());
  }
}

std::string libraryVersion() {
  char version[64] = {0};
  QeloMsrGetApiVersion(version, static_cast<int>(sizeof version));
  return version;
}

}  // namespace

void sendError(httplib::Response& res, int status, const std::string& message,
               const std::string& code) {
  res.status = status;
  json body = {{"error", message}};
  if (!code.empty()) body["code"] = code;
  res.set_content(body.dump(), "application/json");
}

PanelApi::PanelApi(SessionRegistry& registry, std::string startDevice,
                   const std::atomic<bool>& stopping)
    : registry_(registry), startDevice_(std::move(startDevice)), stopping_(stopping) {}

void PanelApi::install(httplib::Server& server) {
  using Req = httplib::Request;
  using Res = httplib::Response;

  server.Get("/api/config", [this](const Req&, Res& res) {
    answer(res, [&] {
      return json{{"version", libraryVersion()},
                  {"startDevice", startDevice_.empty() ? json() : json(startDevice_)}};
    });
  });

  server.Get("/api/devices", [this](const Req& req, Res& res) {
    answer(res, [&] { return registry_.listDevices(tokenOf(req)); });
  });

  server.Post("/api/open", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"device", "discard"});
      const auto opened = registry_.open(body.text("device"), tokenOf(req),
                                         body.optionalFlag("discard").value_or(false));
      return json{{"token", opened.session->token()},
                  {"resumed", opened.resumed},
                  {"state", opened.session->state()}};
    });
  });

  server.Post("/api/close", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"discard"});
      registry_.close(tokenOf(req), body.optionalFlag("discard").value_or(false));
      return json::object();
    });
  });

  server.Get("/api/state", [this](const Req& req, Res& res) {
    answer(res, [&] { return registry_.byToken(tokenOf(req))->state(); });
  });

  server.Post("/api/range", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"input", "range"});
      const std::string input = body.text("input");
      const auto range = static_cast<size_t>(body.integer("range", 0, kMaxRangeIndex));
      return registry_.byToken(tokenOf(req))->setRange(input, range);
    });
  });

  server.Post("/api/output", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"output", "volts"});
      const std::string output = body.text("output");
      const double volts = body.number("volts");
      return registry_.byToken(tokenOf(req))->setOutput(output, volts);
    });
  });

  server.Post("/api/port", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"port", "outputEnable", "levels"});
      const std::string port = body.text("port");
      const auto outputEnable = body.optionalInteger("outputEnable", 0, kMaxMask);
      const auto levels = body.optionalInteger("levels", 0, kMaxMask);
      if (!outputEnable && !levels)
        throw PanelError(kBadRequest, "Give 'outputEnable', 'levels' or both.");
      return registry_.byToken(tokenOf(req))->setPort(port, outputEnable, levels);
    });
  });

  server.Post("/api/led", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"on"});
      const bool on = body.flag("on");
      return registry_.byToken(tokenOf(req))->setLed(on);
    });
  });

  server.Post("/api/counter", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"enable", "reset"});
      const auto enable = body.optionalFlag("enable");
      const bool reset = body.optionalFlag("reset").value_or(false);
      if (!enable && !reset) throw PanelError(kBadRequest, "Give 'enable', 'reset' or both.");
      return registry_.byToken(tokenOf(req))->setCounter(enable, reset);
    });
  });

  server.Post("/api/stream/start", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"channels", "rate", "discard"});
      const auto channels = body.texts("channels", kMaxChannels);
      const double rate = body.number("rate");
      const bool discard = body.optionalFlag("discard").value_or(false);
      return registry_.byToken(tokenOf(req))->startStream(channels, rate, discard);
    });
  });

  server.Post("/api/log/start", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {"channels", "everySeconds", "discard"});
      const auto channels = body.texts("channels", kMaxChannels);
      const double every = body.number("everySeconds");
      const bool discard = body.optionalFlag("discard").value_or(false);
      return registry_.byToken(tokenOf(req))->startLog(channels, every, discard);
    });
  });

  server.Post("/api/stream/stop", [this](const Req& req, Res& res) {
    answer(res, [&] {
      const RequestBody body(req.body, {});
      return registry_.byToken(tokenOf(req))->stopRun();
    });
  });

  server.Post("/api/save", [this](const Req& req, Res& res) {
    try {
      const RequestBody body(req.body, {"format"});
      const std::string format = body.text("format");
      const auto session = registry_.byToken(tokenOf(req));
      const auto record = session->record();
      if (!record)
        throw PanelError(kConflict, "Nothing was streamed yet: there is nothing to save.");
      const ExportedFile file = exportRecord(*record, format);
      record->markSaved(file.rows);
      res.set_header("Content-Disposition", "attachment; filename=\"" + file.name + "\"");
      res.set_content(file.bytes, file.contentType);
    } catch (const PanelError& e) {
      sendError(res, e.status(), e.what());
    } catch (const std::exception& e) {
      sendError(res, 500, e.what());
    }
  });

  server.Get("/api/events", [this](const Req& req, Res& res) {
    std::shared_ptr<DeviceSession> session;
    try {
      session = registry_.byToken(req.get_param_value("token"));
    } catch (const PanelError& e) {
      sendError(res, e.status(), e.what());
      return;
    }
    session->attachReader();
    auto cursor = std::make_shared<EventHub::Cursor>(session->events().startCursor());
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, session, cursor](size_t offset, httplib::DataSink& sink) {
          bool closed = false;
          const auto events =
              session->events().wait(*cursor, std::chrono::milliseconds(1000), closed);
          // The browser reconnects a second after a broken stream.
          std::string out = offset == 0 ? "retry: 1000\n\n" : "";
          for (const auto& e : events) out += "event: " + e.name + "\ndata: " + e.json + "\n\n";
          if (out.empty()) out = ": alive\n\n";  // finds a page that went away
          if (!sink.write(out.data(), out.size())) return false;
          if (closed || stopping_) sink.done();
          return true;
        },
        [session](bool) { session->detachReader(); });
  });
}

}  // namespace qpanel
