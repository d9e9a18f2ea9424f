// What the daemon receives: the request line and fields, the lines the
// filter puts in front, and the message whole, from memory or streamed
// from the spool file, or only the spool file's name for a daemon on
// "localhost".
#include <sys/stat.h>

#include <ctime>
#include <fstream>

#include "classify_support.h"

namespace fs = std::filesystem;

namespace {

const std::string small = "Subject: hi\n\nbody\n";
const std::string small_nul("Subject: h\0i\n\nbo\0dy\n", 20);

std::string spooled(size_t size, bool nuls) {
  std::string m = "Subject: big\n\n";
  for (size_t i = 0; m.size() < size; ++i) m += i % 70 == 69 ? '\n' : char('a' + i % 26);
  if (nuls)
    for (size_t at : {size_t{5}, size_t{20}, size_t{31999}, size_t{32000}, size - 1}) m[at] = '\0';
  return m;
}

const std::string answer = http_response(answer_text(inbound_answer()));

TEST(Request, InlineForms) {
  const std::string big = spooled(100000, true);
  const std::string from300(300, 'f');
  struct {
    const char *name;
    const std::string &message;
    std::string host;        // control file text
    std::string port_suffix; // appended to the daemon's port in the control file
    std::string host_field;  // Host, before ":port"
    std::vector<std::string> env;
    std::string from = "a@x";
    bool named = false; // resolves only where run_caught isolates
    std::string sent{}; // the sender as sent, when not just cut to 191
  } cases[] = {
      {"in memory, numeric host", small, "127.0.0.1", "", "127.0.0.1", {"TCPREMOTEIP=192.0.2.7"}},
      {"in memory, NULs sent whole", small_nul, "localhost", "", "localhost", {}},
      {"in memory, a name", small, "zelmd.test", "", "zelmd.test", {}, "a@x", true},
      {"spooled, numeric host: streamed", big, "127.0.0.1", "", "127.0.0.1", {}},
      {"spooled, LOCALHOST counts as remote", big, "LOCALHOST", "", "LOCALHOST", {}},
      {"host cut to 127", small, long_name, "", long_name.substr(0, 127), {}, "a@x", true},
      {"port cut to 5", small, "127.0.0.1", "999", "127.0.0.1", {}},
      {"empty host file: localhost", small, "", "", "localhost", {}},
      {"sender cut to 191", small, "127.0.0.1", "", "127.0.0.1", {}, from300},
      // A CR LF in the sender must not add a field to the request.
      {"sender with control bytes", small, "127.0.0.1", "", "127.0.0.1", {},
       "a\r\nX-ZELM-FileName: /etc/shadow\x7f\t", false,
       "a??X-ZELM-FileName: /etc/shadow??"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.named && !can_isolate()) continue;
    qmail_home h;
    loopback_daemon d({.response = answer});
    // A cut port of 5 digits is this port again only when it has 5.
    if (!c.port_suffix.empty() && d.port() < 10000) continue;
    point_at(h, d.port(), c.host);
    h.control("zelmd_in_port", std::to_string(d.port()) + c.port_suffix + "\n");
    h.control("zelmd_check_inbound", "1\n");
    const auto got = run_caught(
        h, d, {.message = c.message, .envelope = envelope({"F" + c.from, "Tb"}), .env = c.env});
    EXPECT_EQ(got.run.code, 0) << got.run;
    ASSERT_EQ(got.requests.size(), 1u);
    const std::string ip = c.env.empty() ? "127.0.0.1" : "192.0.2.7";
    EXPECT_TRUE(is_post(got.requests[0], "/zelmd/ClassifyMessage_Inline",
                        c.host_field + ":" + std::to_string(d.port()),
                        zelm_head(c.sent.empty() ? c.from.substr(0, 191) : c.sent, ip) +
                            "\r\n" + c.message));
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

TEST(Request, Ipv6HostIsBracketed) {
  qmail_home h;
  loopback_daemon d({.response = answer}, true);
  if (!d.has_v6()) GTEST_SKIP() << "no ::1 here";
  point_at(h, d.port(), "::1");
  h.control("zelmd_check_inbound", "1\n");
  const auto got = run_caught(h, d, {.message = small, .envelope = envelope({"Fa", "Tb"})});
  EXPECT_EQ(got.run.code, 0) << got.run;
  ASSERT_EQ(got.requests.size(), 1u);
  EXPECT_TRUE(is_post(got.requests[0], "/zelmd/ClassifyMessage_Inline",
                      "[::1]:" + std::to_string(d.port()),
                      zelm_head("a", "127.0.0.1") + "\r\n" + small));
}

TEST(Request, EmptyAddressFilesMeanLocalhost8088) {
  qmail_home h;
  loopback_daemon d({.response = answer}, false, 8088);
  if (!d.listening()) GTEST_SKIP() << "port 8088 is taken";
  h.control("zelmd_in_host", "\n");
  h.control("zelmd_in_port", "\n");
  h.control("zelmd_check_inbound", "1\n");
  const auto got = run_caught(h, d, {.message = small, .envelope = envelope({"Fa", "Tb"})});
  EXPECT_EQ(got.run.code, 0) << got.run;
  ASSERT_EQ(got.requests.size(), 1u);
  EXPECT_TRUE(is_post(got.requests[0], "/zelmd/ClassifyMessage_Inline", "localhost:8088",
                      zelm_head("a", "127.0.0.1") + "\r\n" + small));
}

// For "localhost" only the spool file's name travels; the daemon must be
// able to read the whole message there while it answers.
TEST(Request, SpooledForLocalhostSendsTheFileName) {
  for (bool nuls : {false, true}) {
    SCOPED_TRACE(nuls ? "with NULs" : "text");
    qmail_home h;
    const std::string msg = spooled(40000, nuls);
    std::string path, content;
    mode_t dir_mode = 0, file_mode = 0;
    gid_t file_group = 0;
    loopback_daemon d({.response = answer, .on_request = [&](const std::string &req) {
                         const size_t at = req.find("X-ZELM-FileName: ");
                         if (at == std::string::npos) return;
                         path = req.substr(at + 17, req.find("\r\n", at) - at - 17);
                         std::ifstream f(path, std::ios::binary);
                         content.assign(std::istreambuf_iterator<char>(f), {});
                         struct stat st;
                         if (stat(path.c_str(), &st) == 0) {
                           file_mode = st.st_mode & 07777;
                           file_group = st.st_gid;
                         }
                         if (stat(fs::path(path).parent_path().c_str(), &st) == 0)
                           dir_mode = st.st_mode & 07777;
                       }});
    point_at(h, d.port(), "localhost");
    h.control("zelmd_check_inbound", "1\n");
    // The second run spools in a directory set up for a daemon that reads
    // through its group: set-group-id, mode 2750, another group.
    std::string root = "/tmp/qmail-zelmd";
    if (nuls) {
      root = (h.root / "spool").string();
      fs::create_directory(root);
      ASSERT_EQ(chown(root.c_str(), 0, 65534), 0);
      ASSERT_EQ(chmod(root.c_str(), 02750), 0);
      h.control("zelmd_spool_dir", root + "\n");
    }
    const time_t before = time(nullptr);
    // The daemon's user reads the file through the group, whatever the
    // umask the filter was started with.
    const auto got = run_caught(h, d, {.message = msg, .envelope = envelope({"Fa", "Tb"}),
                                       .env = {"TCPREMOTEIP=192.0.2.7"},
                                       .in_child = [] { return umask(077), true; }});
    const time_t after = time(nullptr);
    EXPECT_EQ(dir_mode, nuls ? 02750u : 0750u);
    EXPECT_EQ(file_mode, 0644u);
    EXPECT_EQ(file_group, nuls ? 65534u : 0u);
    EXPECT_EQ(got.run.code, 0) << got.run;
    ASSERT_EQ(got.requests.size(), 1u);
    EXPECT_TRUE(is_post(got.requests[0], "/zelmd/ClassifyMessage_File",
                        "localhost:" + std::to_string(d.port()),
                        zelm_head("a", "192.0.2.7") + "X-ZELM-FileName: " + path + "\r\n\r\n"));
    // "/tmp/qmail-zelmd/<pid>//<start>.msg"
    const std::string dir = root + "/" + std::to_string(got.run.pid) + "//";
    ASSERT_TRUE(path.starts_with(dir) && path.ends_with(".msg")) << path;
    const std::string stamp = path.substr(dir.size(), path.size() - dir.size() - 4);
    ASSERT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << path;
    EXPECT_GE(std::stol(stamp), before);
    EXPECT_LE(std::stol(stamp), after);
    EXPECT_TRUE(same_bytes(content, msg));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(got.run.workdir));
  }
}

TEST(Request, SenderIdentity) {
  const std::string ip = "TCPREMOTEIP=192.0.2.7";
  const std::string long_user(200, 'u');
  struct {
    const char *name;
    std::vector<std::string> env;
    field_list controls;
    std::optional<std::string> id; // the X-ZELM-SenderID line's value
  } cases[] = {
      {"relay client: its address", {"RELAYCLIENT=", ip}, {}, "192.0.2.7"},
      {"no TCPREMOTEIP", {"RELAYCLIENT="}, {}, "127.0.0.1"},
      {"auth user", {"SMTPAUTHUSER=joe", ip}, {{"zelmd_senderid_smtpauth", "1"}}, "joe"},
      {"auth user not chosen", {"SMTPAUTHUSER=joe", ip}, {}, "192.0.2.7"},
      {"relay client, both switches", {"RELAYCLIENT=x", ip},
       {{"zelmd_senderid_smtpauth", "1"}, {"zelmd_senderid_senderip", "1"}}, "192.0.2.7"},
      {"auth user, address switch off", {"SMTPAUTHUSER=joe", "RELAYCLIENT=", ip},
       {{"zelmd_senderid_smtpauth", "1"}, {"zelmd_senderid_senderip", "0"}}, "joe"},
      {"neither switch", {"SMTPAUTHUSER=joe", ip}, {{"zelmd_senderid_senderip", "0"}}, {}},
      {"check_outbound 2", {"RELAYCLIENT=", ip}, {{"zelmd_check_outbound", "2"}}, {}},
      {"empty auth user", {"SMTPAUTHUSER=", ip}, {{"zelmd_senderid_smtpauth", "1"}}, ""},
      {"auth user with CR LF", {"SMTPAUTHUSER=joe\r\nX-ZELM-Spam: Clean", ip},
       {{"zelmd_senderid_smtpauth", "1"}}, "joe??X-ZELM-Spam: Clean"},
      {"address with CR LF", {"RELAYCLIENT=", "TCPREMOTEIP=1.2.3.4\r\nX: y"}, {},
       "1.2.3.4??X: y"},
      {"auth user cut to 127", {"SMTPAUTHUSER=" + long_user, ip},
       {{"zelmd_senderid_smtpauth", "1"}}, long_user.substr(0, 127)},
      {"inbound: none", {ip},
       {{"zelmd_check_inbound", "1"}, {"zelmd_check_outbound", "0"},
        {"zelmd_senderid_smtpauth", "1"}}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qmail_home h;
    loopback_daemon d({.response = answer});
    point_at(h, d.port());
    h.control("zelmd_check_outbound", "1\n");
    for (const auto &[f, v] : c.controls) h.control(f, v + "\n");
    const auto got =
        run_caught(h, d, {.message = small, .envelope = envelope({"Fa", "Tb"}), .env = c.env});
    EXPECT_EQ(got.run.code, 0) << got.run;
    ASSERT_EQ(got.requests.size(), 1u);
    const std::string sender_ip = c.env.back() == ip                  ? "192.0.2.7"
                                  : c.env.back().starts_with("TCP") ? "1.2.3.4??X: y"
                                                                    : "127.0.0.1";
    EXPECT_TRUE(is_post(got.requests[0], "/zelmd/ClassifyMessage_Inline",
                        "127.0.0.1:" + std::to_string(d.port()),
                        zelm_head("a", sender_ip, c.id) + "\r\n" + small));
  }
}

} // namespace
