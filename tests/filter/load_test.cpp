// Many filters at once against one zelmd-sim: every message must reach its
// own queue program whole, stamped with the verdict of its own request, and
// no run may leave anything in the spool area.
#include <memory>
#include <set>

#include <sys/resource.h>

#include "classify_support.h"
#include "zelmd_sim.h"

namespace fs = std::filesystem;

namespace {

const std::string gtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct load_message {
  std::string text;
  size_t header_len;
  std::string spam, vod; // the verdict its own content calls for
};

// Message i: a token of its own in header and body, every third one
// spooled, some carrying the test strings, so that a verdict or a body that
// went to the wrong filter shows.
load_message make(int i) {
  const std::string token = "token-" + std::to_string(i) + "-end";
  load_message m;
  m.text = "Subject: load " + std::to_string(i) + "\nX-Token: " + token + "\n\n";
  m.header_len = m.text.size() - 1;
  const bool spam = i % 5 == 1, virus = i % 7 == 2;
  m.spam = spam ? "Confirmed" : "None";
  m.vod = virus ? "Virus" : "Clean";
  if (spam) m.text += gtube + "\n";
  if (virus) m.text += eicar + "\n";
  const size_t n = static_cast<size_t>(i);
  const size_t size = i % 3 == 0 ? 32000 + n * 211 : 300 + n;
  while (m.text.size() < size) m.text += token + " " + std::to_string(m.text.size()) + "\n";
  return m;
}

std::string refid_of(const std::string &msg) {
  const std::string name = "\nX-ZELM-RefID: ";
  const size_t at = msg.find(name);
  if (at == std::string::npos) return "";
  const size_t from = at + name.size();
  return msg.substr(from, msg.find('\n', from) - from);
}

TEST(Load, ConcurrentFiltersKeepTheirMessagesApart) {
  constexpr int count = 200;
  // Four descriptors per filter on the harness's side.
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  zelmd_sim sim(zelmd_sim::answers::classified);
  ASSERT_GT(sim.port(), 0);

  std::vector<std::unique_ptr<qmail_home>> homes;
  std::vector<const qmail_home *> at;
  std::vector<filter_run> runs;
  std::vector<load_message> msgs;
  for (int i = 0; i < count; ++i) {
    msgs.push_back(make(i));
    homes.push_back(std::make_unique<qmail_home>());
    const qmail_home &h = *homes.back();
    at.push_back(&h);
    // Half the spooled messages go to the daemon by path: it reads the
    // spool file while the filter waits.
    const bool by_path = i % 6 == 0;
    point_at(h, sim.port(), by_path ? "localhost" : "127.0.0.1");
    h.control("zelmd_check_inbound", "1\n");
    h.control("zelmd_require_scan", "1\n"); // a failed request shows as 71
    h.control("zelmd_timeout", "30\n");
    const std::string n = std::to_string(i);
    runs.push_back({.message = msgs.back().text,
                    .envelope = envelope({"Fs" + n + "@x", "Tr" + n + "@y"}),
                    .env = {"TCPREMOTEIP=192.0.2." + std::to_string(i % 250 + 1)},
                    .deadline_seconds = 60});
  }

  const auto results = run_filters(at, runs);
  std::set<std::string> refids;
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(testing::Message() << "message " << i);
    const auto &r = results[static_cast<size_t>(i)];
    const auto &m = msgs[static_cast<size_t>(i)];
    EXPECT_EQ(r.code, 0) << r;
    const auto got = homes[static_cast<size_t>(i)]->record("message");
    ASSERT_TRUE(got);
    const std::string refid = refid_of(*got);
    EXPECT_FALSE(refid.empty());
    refids.insert(refid);
    EXPECT_TRUE(same_bytes(got, stamped(m.text, m.header_len,
                                        verdict_stamp("0000001", m.spam, m.vod, refid))));
    const std::string n = std::to_string(i);
    EXPECT_EQ(homes[static_cast<size_t>(i)]->record("envelope"),
              queue_envelope("s" + n + "@x", {"r" + n + "@y"}));
    EXPECT_FALSE(fs::exists(r.workdir));
  }
  EXPECT_EQ(refids.size(), size_t{count}) << "RefIDs shared between messages";
}

} // namespace
