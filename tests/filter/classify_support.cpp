#include "classify_support.h"

#include <algorithm>
#include <fstream>
#include <memory>

#include <syslog.h>

#include "syslog_catcher.h"

namespace fs = std::filesystem;

void point_at(const qmail_home &h, int port, const std::string &host) {
  for (const char *f : {"zelmd_in_host", "zelmd_out_host"}) h.control(f, host + "\n");
  for (const char *f : {"zelmd_in_port", "zelmd_out_port"})
    h.control(f, std::to_string(port) + "\n");
}

const std::string long_name = std::string(60, 'a') + "." + std::string(60, 'b') + ".cccccc";

caught run_caught(const qmail_home &h, filter_run run) {
  return run_caught({&h}, {std::move(run)})[0];
}

std::vector<caught> run_caught(const std::vector<const qmail_home *> &homes,
                               std::vector<filter_run> runs) {
  std::vector<std::unique_ptr<syslog_catcher>> logs;
  for (size_t i = 0; i < runs.size() && can_isolate(); ++i) {
    const qmail_home &h = *homes.at(i);
    filter_run &run = runs[i];
    logs.push_back(std::make_unique<syslog_catcher>(h.root / "dev"));
    run.binds.emplace_back(logs.back()->dir().string(), "/dev");
    // Names from a file of our own, and no name server asked.
    std::ofstream(h.root / "hosts") << "127.0.0.1 localhost zelmd.test "
                                    << long_name.substr(0, 127) << "\n"
                                    << "127.0.0.2 multi.test\n127.0.0.1 multi.test\n";
    std::ofstream(h.root / "nsswitch.conf") << "hosts: files\n";
    run.binds.emplace_back((h.root / "hosts").string(), "/etc/hosts");
    run.binds.emplace_back((h.root / "nsswitch.conf").string(), "/etc/nsswitch.conf");
    // The addresses of multi.test in the order written: 127.0.0.2 first,
    // which the default sorting would put second.
    if (fs::exists("/etc/gai.conf")) {
      std::ofstream(h.root / "gai.conf") << "precedence ::1/128 50\nprecedence ::/0 40\n"
                                            "precedence ::ffff:127.0.0.2/128 15\n"
                                            "precedence ::ffff:0:0/96 10\n";
      run.binds.emplace_back((h.root / "gai.conf").string(), "/etc/gai.conf");
    }
  }
  const auto results = run_filters(homes, runs);
  std::vector<caught> all(results.size());
  for (size_t i = 0; i < all.size(); ++i) {
    all[i].run = results[i];
    all[i].log_caught = i < logs.size();
    if (all[i].log_caught) all[i].log = logs[i]->take();
  }
  return all;
}

caught run_caught(const qmail_home &h, loopback_daemon &d, filter_run run) {
  caught c = run_caught(h, std::move(run));
  d.stop();
  c.requests = d.requests();
  return c;
}

testing::AssertionResult logged(const caught &c, const std::vector<std::string> &texts) {
  if (!c.log_caught) return testing::AssertionFailure() << "log not caught here";
  if (c.log.size() != texts.size())
    return testing::AssertionFailure() << c.log.size() << " log lines, want " << texts.size()
                                       << (c.log.empty() ? "" : "; first: " + c.log[0]);
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto l = parse_syslog(c.log[i]);
    if (!l) return testing::AssertionFailure() << "not a syslog line: " << c.log[i];
    if (l->facility != LOG_MAIL || l->priority != LOG_INFO || l->ident != "qmail-zelmd" ||
        l->pid != c.run.pid)
      return testing::AssertionFailure() << "sent as " << l->facility << "/" << l->priority
                                         << " by " << l->ident << "[" << l->pid << "]";
    if (l->text != texts[i])
      return testing::AssertionFailure() << "logged \"" << l->text << "\"\n  want \"" << texts[i]
                                         << "\"";
  }
  return testing::AssertionSuccess();
}

std::string answer_text(const field_list &lines, const std::string &eol) {
  std::string a;
  for (const auto &[name, value] : lines) a += name + ": " + value + eol;
  return a;
}

field_list inbound_answer() {
  return {{"X-ZELM-PVer", "0000001"}, {"X-ZELM-Spam", "Bulk"}, {"X-ZELM-VOD", "Clean"},
          {"X-ZELM-Flags", "9"},      {"X-ZELM-RefID", "ref-42"}};
}

field_list outbound_answer() {
  field_list a = inbound_answer();
  a.insert(a.end(), {{"X-ZELM-SenderID", "joe"},
                     {"X-ZELM-SenderID-Flags", "1"}, // bit 0 alone: no report copy
                     {"X-ZELM-SenderID-TotalMessages", "120"},
                     {"X-ZELM-SenderID-TotalSpam", "7"},
                     {"X-ZELM-SenderID-TotalSuspected", "5"},
                     {"X-ZELM-SenderID-TotalVirus", "1"},
                     {"X-ZELM-SenderID-BlueWhiteFlag", "0"}});
  return a;
}

std::string stamped(const std::string &msg, size_t at, const std::vector<std::string> &lines) {
  std::string s = msg.substr(0, at);
  for (const auto &l : lines) s += l + "\n";
  return s + msg.substr(at);
}

std::vector<std::string> verdict_stamp(const std::string &pver, const std::string &spam,
                                       const std::string &vod, const std::string &refid) {
  return {"X-ZELM-Pver: " + pver, "X-ZELM-Spam: " + spam, "X-ZELM-VOD: " + vod,
          "X-ZELM-RefID: " + refid};
}

std::vector<std::string> sender_stamp(const std::vector<std::string> &v) {
  static const char *const names[] = {
      "X-ZELM-SenderID: ",          "X-ZELM-SenderID-Flags: ",
      "X-ZELM-BlueWhiteFlag: ",     "X-ZELM-SenderID-TotalMessages: ",
      "X-ZELM-SenderID-TotalSpam: ", "X-ZELM-SenderID-TotalSuspected: ",
      "X-ZELM-SenderID-TotalVirus: "};
  std::vector<std::string> s;
  for (size_t i = 0; i < 7; ++i) s.push_back(names[i] + (i < v.size() ? v[i] : ""));
  return s;
}

std::vector<std::string> inbound_stamp() {
  return verdict_stamp("0000001", "Bulk", "Clean", "ref-42");
}

std::vector<std::string> outbound_stamp() {
  auto s = inbound_stamp();
  for (auto &l : sender_stamp({"joe", "1", "0", "120", "7", "5", "1"})) s.push_back(l);
  return s;
}

std::string zelm_head(const std::string &from, const std::string &ip,
                      const std::optional<std::string> &senderid) {
  std::string h = "X-ZELM-PVer: 0000001\r\nX-ZELM-MailFrom: " + from +
                  "\r\nX-ZELM-SenderIP: " + ip + "\r\n";
  if (senderid) h += "X-ZELM-SenderID: " + *senderid + "\r\n";
  return h;
}

testing::AssertionResult is_post(const std::string &raw, const std::string &target,
                                 const std::string &host, const std::string &body) {
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return testing::AssertionFailure() << "no end of head";
  const std::string head = raw.substr(0, end + 2);
  const std::string line = head.substr(0, head.find("\r\n"));
  if (line != "POST " + target + " HTTP/1.1")
    return testing::AssertionFailure() << "request line \"" << line << "\"";
  std::vector<std::string> fields;
  for (size_t at = line.size() + 2; at < head.size();) {
    const size_t eol = head.find("\r\n", at);
    fields.push_back(head.substr(at, eol - at));
    at = eol + 2;
  }
  std::vector<std::string> want = {"Host: " + host, "User-Agent: qmail-zelmd/" ZELMD_VERSION,
                                   "Content-Type: text/plain",
                                   "Content-Length: " + std::to_string(body.size()),
                                   "Connection: close"};
  std::sort(fields.begin(), fields.end());
  std::sort(want.begin(), want.end());
  if (fields != want) {
    auto f = testing::AssertionFailure() << "fields:";
    for (const auto &x : fields) f << "\n  " << x;
    return f;
  }
  return same_bytes(raw.substr(end + 4), body);
}
