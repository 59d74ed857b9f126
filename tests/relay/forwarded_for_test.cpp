// Which client a trusted balancer's X-Forwarded-For names. Pure: no connection is made.
#include <gtest/gtest.h>

#include "relay/forwarded_for.h"

namespace {

std::string client_of(const std::vector<HeaderField>& fields) {
  std::optional<IpAddress> client = forwarded_client(fields);
  return client ? ip_text(*client) : "(the peer)";
}

// Only the last entry of the last X-Forwarded-For line counts: the balancer appended it. What
// comes before came from the client, which may claim anything there.
TEST(ForwardedForTest, TheLastEntryOfTheLastLineIsTheClient) {
  struct Case {
    std::vector<HeaderField> fields;
    const char* client;
  } cases[] = {
      {{{"X-Forwarded-For", "203.0.113.7"}}, "203.0.113.7"},
      {{{"x-forwarded-for", "203.0.113.7"}}, "203.0.113.7"},
      {{{"X-FORWARDED-FOR", "2001:db8::5"}}, "2001:db8::5"},
      {{{"X-Forwarded-For", "::ffff:203.0.113.7"}}, "203.0.113.7"},
      {{{"X-Forwarded-For", "2001:DB8:0:0::5"}}, "2001:db8::5"},
      {{{"X-Forwarded-For", "10.9.9.9, 203.0.113.7"}}, "203.0.113.7"},
      {{{"X-Forwarded-For", "10.9.9.9,203.0.113.7 \t"}}, "203.0.113.7"},
      {{{"X-Forwarded-For", "garbage, , 10.9.9.9,203.0.113.7"}}, "203.0.113.7"},
      {{{"X-Forwarded-For", "10.9.9.9"}, {"Host", "r"}, {"X-Forwarded-For", "203.0.113.8"}},
       "203.0.113.8"},
      {{{"X-Forwarded-For", "10.9.9.9"}, {"X-Forwarded-For", "10.0.0.1, 203.0.113.8"}},
       "203.0.113.8"},
      {{{"Host", "r"}, {"X-Forwarded-For", "203.0.113.7"}, {"Accept", "*/*"}}, "203.0.113.7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields.back().second);
    EXPECT_EQ(client_of(c.fields), c.client);
  }
}

// No line, or a last entry that is not a bare numeric address: the peer stays the client.
TEST(ForwardedForTest, AMissingOrMalformedLastEntryLeavesThePeer) {
  struct Case {
    std::vector<HeaderField> fields;
  } cases[] = {
      {{}},
      {{{"Host", "r"}}},
      {{{"Forwarded", "for=203.0.113.7"}}},
      {{{"X-Forwarded-Forx", "203.0.113.7"}}},
      {{{"X-Real-IP", "203.0.113.7"}}},
      {{{"X-Forwarded-For", ""}}},
      {{{"X-Forwarded-For", " \t "}}},
      {{{"X-Forwarded-For", "unknown"}}},
      {{{"X-Forwarded-For", "relay.example.org"}}},
      {{{"X-Forwarded-For", "203.0.113.7:8080"}}},
      {{{"X-Forwarded-For", "[2001:db8::5]"}}},
      {{{"X-Forwarded-For", "203.0.113.7/32"}}},
      {{{"X-Forwarded-For", "203.0.113.7,"}}},
      {{{"X-Forwarded-For", "203.0.113.7, "}}},
      {{{"X-Forwarded-For", "203.0.113.7 10.0.0.1"}}},
      {{{"X-Forwarded-For", "203.0.113.256"}}},
      {{{"X-Forwarded-For", std::string_view("203.0.113.7\0", 12)}}},
      // A well-formed first line does not stand in for a malformed last one.
      {{{"X-Forwarded-For", "203.0.113.7"}, {"X-Forwarded-For", "nonsense"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields.empty() ? "(no field)" : std::string(c.fields.back().second));
    EXPECT_EQ(client_of(c.fields), "(the peer)");
  }
}

}  // namespace
