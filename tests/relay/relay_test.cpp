// The relay in this process, with an origin in this process, against the quonfetch client and
// plain HTTP requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "relay/request_body.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "test_origin.h"

namespace {

std::string sample_content(size_t size, char seed) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i)
    content[i] = static_cast<char>(static_cast<size_t>(seed) + i * 7 + i / 251);
  return content;
}

class RelayTest : public ::testing::Test {
 protected:
  std::string store() const { return dir_.file("store"); }
  std::string out() const { return dir_.file("out"); }

  TempDir dir_;
  TestOrigin origin_;
};

TEST_F(RelayTest, ClientSeesInProcessThenAvailableAndFetchesTheFile) {
  const std::string content = sample_content(300000, 'a');
  origin_.serve("/files/data.bin", content);
  InProcessRelay relay(test_relay_config(store()));

  ProgramRun run = run_client(relay.port(), sha1_hex(content), content.size(),
                              origin_.url("/files/data.bin"), out());

  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(replies_in(run.out), (std::vector<std::string>{"status=InProcess", "status=Available"}))
      << run.out;
  EXPECT_NE(run.out.find("1 download(s) successfully downloaded."), std::string::npos);
  EXPECT_EQ(read_file(dir_.file("out/data.bin")), content);
  EXPECT_EQ(origin_.hits("/files/data.bin"), 1);
  // The request gave no sha256; the relay computed it on arrival.
  EXPECT_EQ(store_entries(dir_), (std::vector<std::string>{"sha1/" + sha1_hex(content),
                                                           "sha256/" + sha256_hex(content)}));
  httplib::Client mirror("127.0.0.1", relay.port());
  auto by_sha256 = mirror.Get("/kxmirror/downloads/sha256/" + sha256_hex(content));
  ASSERT_TRUE(by_sha256);
  EXPECT_EQ(by_sha256->status, 200);
  EXPECT_EQ(by_sha256->body, content);
  auto head = mirror.Head("/kxmirror/downloads/sha1/" + sha1_hex(content));
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(content.size()));
  EXPECT_TRUE(head->body.empty());
}

TEST_F(RelayTest, ManyClientsAtOnceShareOneOriginFetch) {
  constexpr size_t kClients = 6;
  const std::string content = sample_content(50000, 'm');
  origin_.serve("/shared.iso", OriginReply{200, content, OriginReply::Hold::BeforeReply});
  InProcessRelay relay(test_relay_config(store(), std::chrono::seconds(60)));

  std::vector<ProgramRun> runs(kClients);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      runs[i] = run_client(relay.port(), sha1_hex(content), content.size(),
                           origin_.url("/shared.iso"), out() + std::to_string(i));
    });
  // The origin answers only once every client waits on the relay for the one fetch.
  bool all_waiting = relay.wait_for_waiting_requests(kClients);
  origin_.release();
  for (auto& client : clients) client.join();
  ASSERT_TRUE(all_waiting);

  EXPECT_EQ(origin_.hits("/shared.iso"), 1);
  size_t saw_in_process = 0;
  for (size_t i = 0; i < kClients; ++i) {
    SCOPED_TRACE(runs[i].out);
    std::vector<std::string> replies = replies_in(runs[i].out);
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back(), "status=Available");
    saw_in_process += replies.front() == "status=InProcess";
    EXPECT_EQ(read_file(out() + std::to_string(i) + "/shared.iso"), content);
  }
  // Only the request that started the fetch was answered before it ended.
  EXPECT_EQ(saw_in_process, 1u);
}

TEST_F(RelayTest, AClientWith64ExchangesAtOnceIsServedWhole) {
  // More records than exchanges at once, so that connections are reused as well as opened.
  constexpr int kFiles = 80;
  std::string list;
  for (int i = 0; i < kFiles; ++i) {
    const std::string content = sample_content(2048, static_cast<char>(i));
    const std::string path = "/many/f" + std::to_string(i);
    origin_.serve(path, content);
    list += sha1_hex(content) + " 2048 " + origin_.url(path) + "\n";
  }
  write_file(dir_.file("list"), list);
  InProcessRelay relay(test_relay_config(store()));
  auto quonfetch = [&](const char* minutes) {
    return run_program(QUONFETCH_BINARY,
                       {"-r", "127.0.0.1", "-p", std::to_string(relay.port()), "-f",
                        dir_.file("list"), "-o", out(), "-t", minutes, "-j", "64"});
  };
  // The first run only announces the files (its deadline has passed once they are sent); the
  // second finds each fetched or being fetched, and is held until it is.
  ProgramRun announce = quonfetch("0");
  ProgramRun fetch = quonfetch("1");

  for (const ProgramRun* run : {&announce, &fetch}) {
    EXPECT_EQ(run->exit_status, 0);
    EXPECT_EQ(run->out.find("Failed response"), std::string::npos) << run->out;
  }
  EXPECT_NE(fetch.out.find(std::to_string(kFiles) + " download(s) available."), std::string::npos)
      << fetch.out;
  EXPECT_TRUE(
      fetch.out.ends_with(std::to_string(kFiles) + " download(s) successfully downloaded.\n"))
      << fetch.out;
  EXPECT_EQ(dir_.entries("out").size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(origin_.hits("/many/f" + std::to_string(i)), 1);
}

TEST_F(RelayTest, OriginFailuresAreReportedFailedAndNothingIsKept) {
  const std::string content = sample_content(4096, 'f');
  const std::string same_size_other = sample_content(4096, 'g');
  struct Case {
    const char* name;
    OriginReply origin;
    size_t size;
    std::string sha256;
    std::string reason;
  } cases[] = {
      {"origin answers 404",
       {404, "gone"},
       content.size(),
       "",
       "fetch failed: the origin did not send the file"},
      {"body with another sha1",
       {200, same_size_other},
       content.size(),
       "",
       "sha1 mismatch: the origin's file has another sha1"},
      {"body longer than the size",
       {200, content},
       content.size() - 1,
       "",
       "size mismatch: the origin sent more bytes than expected"},
      {"body shorter than the size",
       {200, content},
       content.size() + 1,
       "",
       "size mismatch: the origin's file is not 4097 bytes"},
      {"body with another sha256",
       {200, content},
       content.size(),
       sha256_hex("other"),
       "sha256 mismatch: the origin's file has another sha256"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = "/case" + std::to_string(index++) + "/file.bin";
    origin_.serve(path, c.origin);
    InProcessRelay relay(test_relay_config(dir.file("store")));

    ProgramRun run = run_client(relay.port(), sha1_hex(content), c.size, origin_.url(path),
                                dir.file("out"), c.sha256);

    EXPECT_EQ(replies_in(run.out),
              (std::vector<std::string>{"status=InProcess", "status=Failed,reason=" + c.reason}))
        << run.out;
    EXPECT_NE(run.out.find("0 download(s) successfully downloaded."), std::string::npos);
    EXPECT_TRUE(store_entries(dir).empty());
    EXPECT_FALSE(file_exists(dir.file("out")));
  }
}

TEST_F(RelayTest, FailureIsReportedOnceAndTheNextRequestFetchesAgain) {
  const std::string content = sample_content(1000, 'r');
  origin_.serve("/later.bin", OriginReply{503, "busy"});
  InProcessRelay relay(test_relay_config(store()));

  ProgramRun failed =
      run_client(relay.port(), sha1_hex(content), content.size(), origin_.url("/later.bin"), out());
  origin_.serve("/later.bin", content);
  ProgramRun fetched =
      run_client(relay.port(), sha1_hex(content), content.size(), origin_.url("/later.bin"), out());

  EXPECT_EQ(replies_in(failed.out),
            (std::vector<std::string>{
                "status=InProcess",
                "status=Failed,reason=fetch failed: the origin did not send the file"}));
  EXPECT_EQ(replies_in(fetched.out),
            (std::vector<std::string>{"status=InProcess", "status=Available"}));
  EXPECT_EQ(read_file(dir_.file("out/later.bin")), content);
  EXPECT_EQ(origin_.hits("/later.bin"), 2);
}

TEST_F(RelayTest, MalformedBodiesGet400WithOneLineReason) {
  const std::string sha1(40, 'a');
  const std::string good_fields = "aid=0,index=null,sha1=" + sha1 + ",size=1,url=http%3A%2F%2Fh";
  const std::string bodies[] = {
      "",
      "0\n",
      "1\n" + good_fields + "\n",
      "00\n" + good_fields + "\n",
      "0\r\n" + good_fields + "\r\n",
      "0\n" + good_fields + "\nmore\n",
      "0\n" + good_fields + "\n\n",
      "0\naid=0,index=null,size=1,url=http%3A%2F%2Fh\n",
      "0\naid=0,index=null,sha1=" + sha1 + ",url=http%3A%2F%2Fh\n",
      "0\naid=0,index=null,sha1=" + sha1 + ",size=1\n",
      "0\n" + good_fields + ",sha1=" + sha1 + "\n",
      "0\n" + good_fields + ",flag\n",
      "0\n" + good_fields + ",,\n",
      "0\naid=0,index=null,sha1=" + sha1 + ",size=1,url=http%3A%2F%2Fh%2\n",
      "0\naid=0,index=null,sha1=" + sha1 + ",size=1,url=http%3A%2F%2Fh%zz\n",
  };
  InProcessRelay relay(test_relay_config(store()));
  httplib::Client client("127.0.0.1", relay.port());
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    auto reply = client.Post("/DownloadRequest", body, "text/plain");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400);
    ASSERT_FALSE(reply->body.empty());
    EXPECT_EQ(reply->body.find('\n'), reply->body.size() - 1) << reply->body;
  }
  // The same fields, well formed, are accepted.
  auto good = client.Post("/DownloadRequest", "0\n" + good_fields + "\n", "text/plain");
  ASSERT_TRUE(good);
  EXPECT_EQ(good->status, 200);
}

TEST_F(RelayTest, UnusableRequestsAreInvalidAndFetchNothing) {
  const std::string sha1(40, 'b');
  struct Case {
    std::string sha1, url, sha256, reason;
  } cases[] = {
      {"../../../../../../../../../../etc/passwd", origin_.url("/f"), "",
       "sha1 is not 40 hexadecimal digits"},
      {sha1.substr(0, 38) + "/.", origin_.url("/f"), "", "sha1 is not 40 hexadecimal digits"},
      {"..", origin_.url("/f"), "", "sha1 is not 40 hexadecimal digits"},
      {sha1 + "0", origin_.url("/f"), "", "sha1 is not 40 hexadecimal digits"},
      {"(null)", origin_.url("/f"), "", "sha1 is not 40 hexadecimal digits"},
      {sha1, origin_.url("/f"), std::string(63, 'c') + "/", "sha256 is not 64 hexadecimal digits"},
      {sha1, origin_.url("/f"), std::string(63, 'c'), "sha256 is not 64 hexadecimal digits"},
      {sha1, "ftp://127.0.0.1/f", "", "origin URL is not http or https"},
      {sha1, "file:///etc/passwd", "", "origin URL is not http or https"},
      {sha1, "", "", "origin URL is not http or https"},
  };
  InProcessRelay relay(test_relay_config(store()));
  httplib::Client client("127.0.0.1", relay.port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sha1 + " " + c.url + " " + c.sha256);
    auto reply = client.Post("/DownloadRequest",
                             download_request_body(c.sha1, "1", c.url, c.sha256), "text/plain");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, format_status_reply(RelayStatus::Invalid, c.reason));
  }
  EXPECT_EQ(origin_.hits("/f"), 0);
  EXPECT_TRUE(store_entries(dir_).empty());
}

TEST_F(RelayTest, MirrorServesOnlyDigestsOfItsStore) {
  const std::string content = sample_content(70000, 's');
  const std::string sha1 = sha1_hex(content), sha256 = sha256_hex(content);
  // A store as an earlier run left it: one file without its sha256 name, a temporary file, and
  // files next to and above the store that no mirror path may reach.
  std::filesystem::create_directories(dir_.file("store/sha1"));
  write_file(dir_.file("store/sha1/" + sha1), content);
  write_file(dir_.file("store/sha1/.quonfetch-Ab12Cd"), "partial");
  write_file(dir_.file("store/secret"), "secret");
  write_file(dir_.file("secret"), "secret");
  InProcessRelay relay(test_relay_config(store()));
  relay.server().wait_until_store_verified();  // served only once checked

  std::string upper = sha1;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  struct Case {
    std::string path;
    int status;
  } cases[] = {
      {"/kxmirror/downloads/sha1/" + sha1, 200},
      {"/kxmirror/downloads/sha1/" + upper, 200},
      {"/kxmirror/downloads/sha256/" + sha256, 200},
      {"/kxmirror/downloads/sha256/" + sha1, 404},
      {"/kxmirror/downloads/sha1/" + sha256, 404},
      {"/kxmirror/downloads/sha1/" + sha1 + "/", 404},
      {"/kxmirror/downloads/sha1/" + std::string(40, '0'), 404},
      {"/kxmirror/downloads/sha1/../secret", 404},
      {"/kxmirror/downloads/sha1/..%2Fsecret", 404},
      {"/kxmirror/downloads/sha1/..%2F..%2Fsecret", 404},
      {"/kxmirror/downloads/sha1/%2E%2E%2F%2E%2E%2Fsecret", 404},
      {"/kxmirror/downloads/sha1/.quonfetch-Ab12Cd", 404},
      {"/kxmirror/downloads/sha1/", 404},
      {"/kxmirror/downloads/sha1/../sha1/" + sha1.substr(0, 32), 404},
  };
  httplib::Client client("127.0.0.1", relay.port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto reply = client.Get(c.path);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(reply->body, content);
    }
    EXPECT_EQ(reply->body.find("secret"), std::string::npos);
  }
  // The file was verified in the background, which gave it back its sha256 name; the temporary
  // file is gone.
  EXPECT_EQ(store_entries(dir_), (std::vector<std::string>{"sha1/" + sha1, "sha256/" + sha256}));
}

TEST_F(RelayTest, ServesHttpsWithASelfSignedCertificate) {
  const std::string content = sample_content(20000, 't');
  origin_.serve("/tls.bin", content);
  make_self_signed_certificate(dir_.path());
  RelayConfig config = test_relay_config(store());
  config.options.tls_cert = dir_.file("cert.pem");
  config.options.tls_key = dir_.file("key.pem");
  InProcessRelay relay(config);
  EXPECT_EQ(relay.server().url(), "https://127.0.0.1:" + std::to_string(relay.port()));

  httplib::SSLClient client("127.0.0.1", relay.port());
  client.enable_server_certificate_verification(false);
  const std::string body = download_request_body(sha1_hex(content), std::to_string(content.size()),
                                                 origin_.url("/tls.bin"));
  auto first = client.Post("/DownloadRequest", body, "text/plain");
  auto second = client.Post("/DownloadRequest", body, "text/plain");
  auto file = client.Get("/kxmirror/downloads/sha1/" + sha1_hex(content));
  ASSERT_TRUE(first && second && file);
  EXPECT_EQ(first->body, format_status_reply(RelayStatus::InProcess));
  EXPECT_EQ(second->body, format_status_reply(RelayStatus::Available));
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->body, content);

  // Plain HTTP gets no answer from the TLS listener.
  httplib::Client plain("127.0.0.1", relay.port());
  plain.set_read_timeout(5);
  EXPECT_FALSE(plain.Post("/DownloadRequest", body, "text/plain"));
}

}  // namespace
