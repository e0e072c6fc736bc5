// Digest authentication's header parser and hashes, shared by the web server
// and the RTSP server: RFC 2617 3.5's example in both forms, and headers
// that are not a usable answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <string>

#include "core/http_digest.h"

namespace {

TEST(HttpDigest, ResponsesWithAndWithoutQopAndRefusedHeaders) {
  HttpDigest d;
  // Without qop, as RTSP clients answer.
  ASSERT_TRUE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
      "response=\"670FD8C2DF070C60B045671B8B24FF02\"",
      &d));
  EXPECT_STREQ(d.uri, "/dir/index.html");
  char ha1[33];
  digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life", ha1);
  EXPECT_TRUE(digest_response_ok(d, ha1, "GET")) << "upper-case digits too";
  EXPECT_FALSE(digest_response_ok(d, ha1, "POST"));
  // The same with qop=auth, as browsers answer: RFC 2617 3.5's own response.
  ASSERT_TRUE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
      "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      &d));
  EXPECT_TRUE(digest_response_ok(d, ha1, "GET"));
  snprintf(d.nc, sizeof d.nc, "00000002");
  EXPECT_FALSE(digest_response_ok(d, ha1, "GET"));
  snprintf(d.nc, sizeof d.nc, "00000001");
  snprintf(d.qop, sizeof d.qop, "auth-int");
  EXPECT_FALSE(digest_response_ok(d, ha1, "GET")) << "a response for auth is not one for auth-int";
  EXPECT_FALSE(digest_parse(
      "Digesx username=\"Mufasa\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", &d));
  EXPECT_FALSE(digest_parse(
      "Digestx username=\"Mufasa\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", &d));
  EXPECT_FALSE(digest_parse("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==", &d));
  EXPECT_FALSE(digest_parse(
      "Digest username=\"Mufasa\" realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", &d))
      << "fields are separated by commas";
  EXPECT_FALSE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"r\", nonce=\"n\", uri=\"/\"x, response=\"x\"", &d));
  EXPECT_FALSE(digest_parse("Digest username=\"a\", realm=\"r\"", &d));
  std::string huge = "Digest username=\"" + std::string(5000, 'u') + "\"";
  EXPECT_FALSE(digest_parse(huge.c_str(), &d));
}

// The RFC's answer without qop, with the given fields in place of its own.
std::string rfc_header(const std::string &username = "\"Mufasa\"", const std::string &uri = "\"/dir/index.html\"",
                       const std::string &response = "\"670fd8c2df070c60b045671b8b24ff02\"") {
  return "Digest username=" + username + ", realm=\"testrealm@host.com\", " +
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=" + uri + ", response=" + response;
}

std::string hex_md5(const std::string &s) {
  char out[33];
  digest_md5_hex(s.data(), s.size(), out);
  return out;
}

// Blanks where the grammar allows them, escapes, fields the check does not
// know and a field given twice, as clients send them.
TEST(HttpDigest, HeaderSpellingsClientsSend) {
  char ha1[33];
  digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life", ha1);
  HttpDigest d;
  // A header that answered with qop first: nothing of it may stay.
  ASSERT_TRUE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"n\", uri=\"/\", qop=auth, "
      "nc=00000001, cnonce=\"0a4f113b\", response=\"x\"",
      &d));
  ASSERT_TRUE(digest_parse(
      " \tDigest\tusername = \"Mufasa\" ,realm= \"testrealm@host.com\",, stale, "
      "NONCE=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=/dir/index.html, algorithm=MD5, "
      "response=\"670FD8C2DF070C60B045671B8B24FF02\"",
      &d));
  EXPECT_STREQ(d.username, "Mufasa");
  EXPECT_STREQ(d.realm, "testrealm@host.com");
  EXPECT_STREQ(d.nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  EXPECT_STREQ(d.uri, "/dir/index.html");
  EXPECT_STREQ(d.qop, "");
  EXPECT_TRUE(digest_response_ok(d, ha1, "GET"));

  ASSERT_TRUE(digest_parse(rfc_header("\"Mu\\\"fa\\\\sa\"").c_str(), &d));
  EXPECT_STREQ(d.username, "Mu\"fa\\sa");
  ASSERT_TRUE(digest_parse((rfc_header() + ", username=\"Bob\"").c_str(), &d));
  EXPECT_STREQ(d.username, "Bob") << "the last of a field given twice counts, whole";

  // The qop answer's hex digits in upper case.
  ASSERT_TRUE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
      "nc=00000001, cnonce=\"0a4f113b\", response=\"6629FAE49393A05397450978507C4EF1\"",
      &d));
  EXPECT_TRUE(digest_response_ok(d, ha1, "GET"));
}

// Each field the check needs must be there, each must fit, and the response
// must be the right 32 digits: no fewer, no more, none wrong.
TEST(HttpDigest, MissingLongAndWrongAnswersAreRefused) {
  HttpDigest d;
  const std::string full = rfc_header();
  ASSERT_TRUE(digest_parse(full.c_str(), &d));
  for (const char *name : {"username=", "realm=", "nonce=", "uri=", "response="}) {
    std::string h = full;
    h.replace(h.find(name), strlen(name), "other=");
    EXPECT_FALSE(digest_parse(h.c_str(), &d)) << name;
  }

  // Up to one less than a field's room; longer is refused, not cut.
  EXPECT_TRUE(digest_parse(rfc_header("\"" + std::string(63, 'u') + "\"").c_str(), &d));
  EXPECT_EQ(strlen(d.username), 63u);
  EXPECT_FALSE(digest_parse(rfc_header("\"" + std::string(64, 'u') + "\"").c_str(), &d));
  EXPECT_TRUE(digest_parse(rfc_header("\"Mufasa\"", "/" + std::string(510, 'a')).c_str(), &d));
  EXPECT_EQ(strlen(d.uri), 511u);
  EXPECT_FALSE(digest_parse(rfc_header("\"Mufasa\"", "/" + std::string(511, 'a')).c_str(), &d));
  EXPECT_FALSE(digest_parse(rfc_header("\"Mufasa\"", "\"/" + std::string(5000, 'a') + "\"").c_str(), &d));

  char ha1[33];
  digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life", ha1);
  for (const char *response : {"\"670fd8c2df070c60b045671b8b24ff0\"", "\"670fd8c2df070c60b045671b8b24ff020\"",
                               "\"670fd8c2df070c60b045671b8b24ff03\"", "\"670fd8c2df070c60b045671b8b24ff02 \""}) {
    ASSERT_TRUE(digest_parse(rfc_header("\"Mufasa\"", "\"/dir/index.html\"", response).c_str(), &d));
    EXPECT_FALSE(digest_response_ok(d, ha1, "GET")) << response;
  }

  // qop=auth without its count or client nonce is refused even when the
  // response is the hash of what there is.
  const std::string ha2 = hex_md5("GET:/dir/index.html");
  for (const char *nc : {"", "00000001"}) {
    for (const char *cnonce : {"", "0a4f113b"}) {
      const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
      std::string response = hex_md5(std::string(ha1) + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
      std::string h = rfc_header("\"Mufasa\"", "\"/dir/index.html\"", "\"" + response + "\"") +
                      ", qop=\"auth\", nc=\"" + nc + "\", cnonce=\"" + cnonce + "\"";
      ASSERT_TRUE(digest_parse(h.c_str(), &d)) << h;
      EXPECT_EQ(digest_response_ok(d, ha1, "GET"), nc[0] && cnonce[0]) << h;
    }
  }
}

// Where MD5 is not to be had (a library held to FIPS algorithms) no answer
// is taken, not even the one a hash of nothing would give.
TEST(HttpDigest, NoHashNoEntry) {
  ASSERT_EQ(EVP_default_properties_enable_fips(nullptr, 1), 1);
  char out[33];
  memset(out, 'x', sizeof out);
  digest_md5_hex("a", 1, out);
  EXPECT_STREQ(out, "");
  char ha1[33];
  digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life", ha1);
  HttpDigest d;
  ASSERT_TRUE(digest_parse(rfc_header("\"Mufasa\"", "\"/\"", "\"" + std::string(32, '0') + "\"").c_str(), &d));
  EXPECT_FALSE(digest_response_ok(d, ha1, "GET"));
  ASSERT_EQ(EVP_default_properties_enable_fips(nullptr, 0), 1);
  digest_md5_hex("a", 1, out);
  EXPECT_STREQ(out, "0cc175b9c0f1b6a831c399e269772661");
}

}  // namespace
