// SPDX-License-Identifier: MIT
#include "tools/scanclient/scan.h"

#include <chrono>

#include "tools/scanclient/trace.h"

namespace scanbridge::tools {

namespace {

outcome set_parameters(device* scanner, const scan_settings& settings, const scan_hooks& hooks) {
  const scan_geometry& g = settings.geometry;
  const auto width = static_cast<std::uint16_t>(g.width);
  const auto height = static_cast<std::uint16_t>(g.height);
  const std::string mode = g.colour ? "RGB" : "grey";
  const std::string dpi = std::to_string(settings.resolution);
  const std::string size = std::to_string(g.width) + "x" + std::to_string(g.height);

  struct parameter {
    std::uint8_t letter;
    std::string name;
    std::vector<std::uint8_t> block;
    std::string note;
  };
  const parameter parameters[] = {
      {'C', "colour mode " + mode, colour_parameters(g.colour), "colour=" + mode},
      {'D', "bit depth 8", depth_parameters(8), "depth=8"},
      {'R', "resolution " + dpi + " dpi",
       resolution_parameters(settings.resolution, settings.resolution),
       "resolution=" + dpi + "x" + dpi + " dpi"},
      {'A', "scan area " + size, area_parameters(0, 0, width, height),
       "left=0 top=0 width=" + std::to_string(g.width) + " height=" + std::to_string(g.height)},
  };
  for (const parameter& p : parameters) {
    if (hooks.cancel_requested && hooks.cancel_requested()) {
      return outcome::cancelled("scan cancelled");
    }
    outcome set = scanner->set_parameter(p.letter, p.name, p.block, p.note);
    if (!set.is_ok()) return set;
  }
  return outcome::ok();
}

std::string bytes_of(std::uint64_t done, std::uint64_t total) {
  return std::to_string(done) + " of " + std::to_string(total) + " bytes";
}

}  // namespace

std::string describe_geometry(const scan_geometry& geometry) {
  return std::to_string(geometry.width) + "x" + std::to_string(geometry.height) +
         (geometry.colour ? " RGB" : " grey");
}

std::string check_settings(const scan_settings& settings) {
  const scan_geometry& g = settings.geometry;
  if (g.width == 0 || g.height == 0) return "width and height must be at least 1";
  if (g.width > 0xFFFF || g.height > 0xFFFF) return "width and height must be at most 65535";
  if (settings.resolution == 0) return "resolution must be at least 1 dpi";
  return std::string();
}

outcome run_scan(device* scanner, const scan_settings& settings, const scan_hooks& hooks,
                 scan_report* report) {
  using clock = std::chrono::steady_clock;
  const auto cancel_requested = [&hooks] {
    return hooks.cancel_requested && hooks.cancel_requested();
  };

  const std::string problem = check_settings(settings);
  if (!problem.empty()) return outcome::failure(problem);
  outcome parameters = set_parameters(scanner, settings, hooks);
  if (!parameters.is_ok()) return parameters;
  if (cancel_requested()) return outcome::cancelled("scan cancelled");

  const std::uint8_t start[] = {settings.esc_g ? ESC : FS, 'G'};
  const std::string start_name = settings.esc_g ? "ESC G" : "FS G";
  const clock::time_point started = clock::now();
  outcome sent = scanner->send(start);
  if (!sent.is_ok()) return sent;

  link_message reply;
  outcome received =
      scanner->receive({reply_kind::INFO_BLOCK, ""}, "the information block", &reply);
  if (!received.is_ok()) return received;
  if (reply.header.status != 0) {
    return outcome::failure("the scan command failed (reply status -1) before any image data");
  }
  if (reply.payload.size() == 1 && reply.payload[0] == NAK) {
    return outcome::failure("scanner refused the scan (NAK to " + start_name + ")");
  }
  info_block& info = report->info;
  if (!parse_info_block(reply.payload, &info)) {
    return outcome::failure("unexpected answer to " + start_name + ": " +
                            abbreviated_hex(reply.payload) +
                            " (expected the 14-byte information block)");
  }
  if (info.refused()) {
    return outcome::failure("scanner refused the scan: information block status " +
                            hex_byte(info.status));
  }

  const scan_geometry& g = settings.geometry;
  const std::uint64_t expected = g.image_bytes();
  const std::uint64_t announced = info.total_bytes();
  if (announced != expected && hooks.warn) {
    hooks.warn("the scanner announces " + std::to_string(announced) + " image bytes (" +
               std::to_string(info.block_count) + " blocks of " + std::to_string(info.block_size) +
               " and a last block of " + std::to_string(info.last_block_size) + "), but " +
               describe_geometry(g) + " is " + std::to_string(expected) + " bytes");
  }
  const std::uint64_t progress_total = announced != 0 ? announced : expected;
  report->image.clear();
  report->image.reserve(static_cast<std::size_t>(expected));

  block_tracker tracker(info);
  const std::string count = std::to_string(tracker.blocks_announced());
  bool ended_by_status = false;
  for (;;) {
    const std::string label = "block " + std::to_string(tracker.blocks_seen() + 1) + "/" + count;
    received = scanner->receive({reply_kind::DATA_BLOCK, label}, "data " + label, &reply);
    if (!received.is_ok()) {
      if (received.is_cancelled()) {
        return outcome::cancelled("scan aborted after " + bytes_of(report->received, expected));
      }
      // A bridge that loses the scanner mid-scan sends nothing at all.
      if (scanner->last_receive() == receive_status::NO_ANSWER) {
        return outcome::failure(
            "connection to the scanner lost mid-scan: the bridge sent no more data after " +
            bytes_of(report->received, expected));
      }
      std::string text = received.message() + " after " + bytes_of(report->received, expected);
      if (scanner->last_receive() == receive_status::TIMEOUT) text += "; the scanner may be gone";
      return outcome::failure(text);
    }
    if (reply.header.status != 0) {
      return outcome::failure("connection to the scanner lost mid-scan (reply status -1) after " +
                              bytes_of(report->received, expected));
    }
    const std::uint8_t status = reply.payload.empty() ? 0 : reply.payload.back();
    const block_verdict verdict = tracker.next(reply.payload.size(), status);
    if (verdict == block_verdict::WRONG_SIZE) {
      return outcome::failure("unexpected reply mid-scan: " + std::to_string(reply.payload.size()) +
                              " bytes where a data block of " +
                              std::to_string(info.block_size + 1ull) + " or " +
                              std::to_string(info.last_block_size + 1ull) +
                              " bytes was due, after " + bytes_of(report->received, expected));
    }
    const std::size_t data = reply.payload.size() - 1;
    const std::uint64_t room = expected - report->image.size();
    report->image.insert(
        report->image.end(), reply.payload.begin(),
        reply.payload.begin() + static_cast<std::ptrdiff_t>(data < room ? data : room));
    report->received += data;
    report->blocks = tracker.blocks_seen();
    report->last_status = status;
    if (hooks.progress) hooks.progress(report->received, progress_total);
    if (verdict == block_verdict::LAST) {
      ended_by_status = status != 0;
      break;
    }

    if (cancel_requested()) {
      const std::uint8_t cancel[] = {CAN};
      sent = scanner->send(cancel);
      if (!sent.is_ok()) return sent;
      if (hooks.note) hooks.note("cancelling: CAN sent, waiting for the scanner to confirm");
      received = scanner->receive({reply_kind::ANSWER, "CAN"}, "the answer to CAN", &reply);
      if (received.is_cancelled()) {
        return outcome::cancelled("scan cancelled; stopped waiting for the answer to CAN");
      }
      if (!received.is_ok()) {
        return outcome::failure("scan cancelled, but " + received.message());
      }
      if (reply.header.status != 0 || reply.payload.size() != 1 || reply.payload[0] != ACK) {
        return outcome::failure(
            "scan cancelled, but the answer to CAN was " +
            (reply.payload.empty() ? std::string("empty") : abbreviated_hex(reply.payload)) +
            ", not ACK");
      }
      return outcome::cancelled("scan cancelled after " + bytes_of(report->received, expected));
    }
    const std::uint8_t next[] = {ACK};
    sent = scanner->send(next, "ACK (next block)");
    if (!sent.is_ok()) return sent;
  }
  report->seconds = std::chrono::duration<double>(clock::now() - started).count();

  const std::string ended = ended_by_status ? "; the scanner ended the scan with block status " +
                                                  hex_byte(report->last_status)
                                            : "";
  if ((report->last_status & 0xC0) != 0) {
    return outcome::failure("scanner reported an error: block status " +
                            hex_byte(report->last_status) + " after " +
                            bytes_of(report->received, expected));
  }
  if (report->received != expected) {
    return outcome::failure("image size mismatch: received " + std::to_string(report->received) +
                            " bytes, but " + describe_geometry(g) + " is " +
                            std::to_string(expected) + " bytes" + ended);
  }
  return outcome::ok();
}

}  // namespace scanbridge::tools
