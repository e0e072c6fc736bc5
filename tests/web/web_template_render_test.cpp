// Page templates: inputs and selects filled from the parameters, includes,
// titles, permission requirements, and the pages of www/ as served.
#include "web_test_support.h"

#include <dirent.h>
#include <tuple>

#include "platform/host_root.h"
#include "web/templates.h"

namespace {

class Template : public ::testing::Test {
 protected:
  RootKeep pages{{"/usr/html"}};
  void SetUp() override {
    web_test_start();
    web_test_defaults();
    set_users(PERM_ADMIN, {});
  }
  std::string render(const std::string &text, uint32_t level = PERM_ADMIN) {
    WebRequest req;
    web_request_init(&req, nullptr, "/t.htm");
    req.permission = level;
    PageBuffer page;
    EXPECT_EQ(page_init(&page, &req, 64), 0);
    EXPECT_EQ(template_render_text(&page, text.data(), text.size(), nullptr), 1);
    std::string out(page.data, page.length);
    page_free(&page);
    web_request_release(&req);
    return out;
  }
};

TEST_F(Template, NumberInputOfAPrefixedFormGetsValueAndRange) {
  std::string out = render(
      "<form action='streamA_controls'><input type=\"number\" name=\"BitRate\" value=\"\" min=\"7\">"
      "</form><input type=number name=BitRate value=1>");
  EXPECT_NE(out.find("<input type=\"number\" name=\"BitRate\" value=\"5000000\" min=\"100000\" "
                     "max=\"20000000\" step=\"100000\">"),
            std::string::npos)
      << out;
  // After the form the prefix is gone: "BitRate" alone is no parameter.
  EXPECT_NE(out.find("</form><input type=number name=BitRate value=1>"), std::string::npos) << out;
}

TEST_F(Template, RangesPrintAsTheirRowNeeds) {
  std::string out = render("<input type='range' name='Capture.Hue' value=''>"
                           "<input type='number' name='DVR_AllowModes'>"
                           "<input type='number' name='UDP[0].RetryTimeout'>"
                           "<input type='number' name='Encoder[0].ScaleConversionFactor'>");
  EXPECT_NE(out.find("value=\"0\" min=\"-127\" max=\"127\">"), std::string::npos) << out;
  EXPECT_NE(out.find("min=\"0\" max=\"4294967295\">"), std::string::npos) << out;
  // The row allows 1000000 but the field holds 16 bits.
  EXPECT_NE(out.find("min=\"0\" max=\"65535\">"), std::string::npos) << out;
  EXPECT_NE(out.find("step=\"any\""), std::string::npos) << out;
  EXPECT_EQ(out.find("min=\"-"), out.find("min=\"-127\"")) << out;
}

TEST_F(Template, CheckboxAndSelectFollowTheValue) {
  const std::string page =
      "<form action='/streamB_controls'><input type='hidden' name='RTMPAudio' value='0'>"
      "<input type='checkbox' name='RTMPAudio' value='1' checked>"
      "<select name='AspectRatio'><option value='None' selected>n</option><option "
      "value='16:9'>w</option></select><option value='16:9'>after</option></form>";
  ASSERT_EQ(param_set_str("Video[1].RTMPAudio", "1"), nullptr);
  ASSERT_EQ(param_set_str("Video[1].AspectRatio", "16:9"), nullptr);
  std::string out = render(page);
  EXPECT_NE(out.find("<input type='checkbox' name='RTMPAudio' value='1' checked>"), std::string::npos) << out;
  EXPECT_NE(out.find("<input type='hidden' name='RTMPAudio' value='0'>"), std::string::npos);
  EXPECT_NE(out.find("<option value='None'>n</option><option value='16:9' selected>w</option>"),
            std::string::npos)
      << out;
  // Outside the select, options are left alone.
  EXPECT_NE(out.find("<option value='16:9'>after</option>"), std::string::npos);
  ASSERT_EQ(param_set_str("Video[1].RTMPAudio", "0"), nullptr);
  out = render(page);
  EXPECT_NE(out.find("<input type='checkbox' name='RTMPAudio' value='1'>"), std::string::npos) << out;
}

TEST_F(Template, EverythingInsertedIsEscaped) {
  ASSERT_EQ(param_set_str("Video[0].OSD.Message", "<b>\"x\" & 'y'"), nullptr);
  std::string out = render("[<include src='Video[0].OSD.Message'>]"
                           "<input type='text' name='Video[0].OSD.Message' value='old'>");
  EXPECT_NE(out.find("[&lt;b&gt;&quot;x&quot; &amp; &#39;y&#39;]"), std::string::npos) << out;
  EXPECT_NE(out.find("value=\"&lt;b&gt;&quot;x&quot; &amp; &#39;y&#39;\">"), std::string::npos) << out;
  EXPECT_EQ(out.find("old"), std::string::npos);
}

TEST_F(Template, ValuesTheRequesterMayNotReadStayEmpty) {
  std::string out = render("<include src='Net[0].Addr'>|<input type='text' name='Net[0].Addr' value='x'>",
                           PERM_STREAM_VIEW);
  EXPECT_EQ(out, "|<input type='text' name='Net[0].Addr' value=\"\">");
}

TEST_F(Template, TitleIncludesAndTheirLimits) {
  ASSERT_EQ(param_set_str("NetworkHostname", "cam<1>"), nullptr);
  sys_write_text("/usr/html/t_title.htm", "<title>X</title>");
  EXPECT_EQ(render("<include src='t_title.htm' title='A&B'>"), "<title>Xcam&lt;1&gt; - A&amp;B</title>");
  // Without a title the closing tag is copied as it is.
  EXPECT_EQ(render("<include src='t_title.htm'>"), "<title>X</title>");
  // A chain of includes stops after 8 levels.
  for (int i = 0; i < 12; i++)
    sys_write_text(("/usr/html/t_deep" + std::to_string(i) + ".htm").c_str(),
                   (std::to_string(i) + "<include src='t_deep" + std::to_string(i + 1) + ".htm'>").c_str());
  EXPECT_EQ(render("<include src='t_deep0.htm'>"), "01234567");
  // A page that includes itself ends too.
  sys_write_text("/usr/html/t_self.htm", "s<include src='t_self.htm'>");
  EXPECT_EQ(render("<include src='t_self.htm'>"), "ssssssss");
  // Rows answering a connection of their own are refused; generators run.
  EXPECT_EQ(render("[<include src='config.txt'>][<include src='streamA.m3u8'>][<include src='log.txt'>]"),
            "[][][]");
  EXPECT_NE(render("<include src='nav_bar'>").find("Log in"), std::string::npos);
  // A missing file is left out; the rest renders.
  EXPECT_EQ(render("a<include src='t_none.htm'>b<include src='../x.htm'>c"), "abc");
}

TEST_F(Template, MalformedTagsAreCopied) {
  EXPECT_EQ(render("<input type='text' name='Video[0].BitRate' value='1"),
            "<input type='text' name='Video[0].BitRate' value='1");
  EXPECT_EQ(render("<inputs name=x><includes src='x'><"), "<inputs name=x><includes src='x'><");
  EXPECT_EQ(render("< include src='Video[0].BitRate' >"), "5000000");
  std::string out = render("<input type='text' name='Video[0].OSD.Message' title='it\\'s' value=''>");
  EXPECT_NE(out.find("title='it\\'s'"), std::string::npos) << out;
}

TEST_F(Template, RequirementReplacesThePageForTheGuest) {
  set_users(PERM_STREAM_VIEW, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  HttpReply r = http_get("/setup_streama.htm");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("<h2>Unauthorized</h2>"), std::string::npos);
  EXPECT_EQ(r.body.find("BitRate"), std::string::npos);
  EXPECT_NE(r.body.find(" - Unauthorized</title>"), std::string::npos) << r.body.substr(0, 400);
  // Coming back from logging out, the browser goes to the start page.
  r = http_get("/setup_streama.htm", "Referer: http://x/logout.htm\r\n");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/index.htm");
  r = curl("--basic -u admin:pw", "/setup_streama.htm");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("name=\"BitRate\" value=\"5000000\""), std::string::npos);
  // A level nobody knows (a typing error in a page) keeps the page closed,
  // to the administrator too.
  EXPECT_EQ(render("<require permission='Admn'>inside", PERM_ADMIN).find("inside"), std::string::npos);
  EXPECT_EQ(render("<require>inside", PERM_ADMIN).find("inside"), std::string::npos);
  EXPECT_NE(render("<require permission='None'>inside", PERM_NONE).find("inside"), std::string::npos);
}

TEST_F(Template, GeneratorsShowTheCurrentValues) {
  // The option lists read the parameter of the form they stand in.
  ASSERT_EQ(param_set_str("Video[1].Resolution", "352x240"), nullptr);
  std::string out = render("<form action='streamB_controls'><select name='Resolution'>"
                           "<include src='resolutionB_options'></select></form>");
  EXPECT_NE(out.find("<option value=\"352x240\" selected>352x240</option>"), std::string::npos) << out;
  EXPECT_NE(out.find("<option value=\"Auto\">"), std::string::npos) << out;
  // A value the list lacks is still offered, selected.
  ASSERT_EQ(param_set_str("Video[1].Resolution", "752x576"), nullptr);
  out = render("<form action='streamB_controls'><include src='resolutionB_options'></form>");
  EXPECT_NE(out.find("<option value=\"752x576\" selected>"), std::string::npos) << out;
  // One the stream's own setting refuses (stored by an older program) is not.
  get_param_block()->video[1].width = 1280;
  get_param_block()->video[1].height = 720;
  out = render("<form action='streamB_controls'><include src='resolutionB_options'></form>");
  EXPECT_EQ(out.find("1280x720"), std::string::npos) << out;
  EXPECT_EQ(out.find("selected"), std::string::npos) << out;
  ASSERT_EQ(param_set_str("Video[1].StreamMode", "15"), nullptr);
  out = render("<form action='streamB_controls'><include src='stream_mode_options'></form>");
  EXPECT_NE(out.find("<option value='15' selected>H.264 video in FLV</option>"), std::string::npos) << out;
  ASSERT_EQ(param_set_str("Video[1].StreamMode", "16"), nullptr);
  out = render("<form action='streamB_controls'><include src='stream_mode_options'></form>");
  EXPECT_NE(out.find("<option value='16' selected>Unknown mode (16)</option>"), std::string::npos) << out;
  HttpReply r = curl("-H 'Host: cam.local:8080'", "/rtsp_streams");
  EXPECT_NE(r.body.find("rtsp://cam.local:554/streamA.h264_aac"), std::string::npos) << r.body;
  r = curl("-H 'Host: <x>'", "/rtsp_streams");
  EXPECT_EQ(r.body.find("<x>"), std::string::npos);
  set_users(PERM_ADMIN, {std::make_tuple("a\"b", "pw", PERM_STREAM_CONFIG)});
  r = http_get("/users_table");
  EXPECT_NE(r.body.find("name=\"User[0].Name\" maxlength=\"19\" value=\"a&quot;b\""), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("<option value='4' selected>Stream Config</option>"), std::string::npos);
  EXPECT_NE(r.body.find("<option value='6'>Demo</option>"), std::string::npos);
  // Every level a user may hold is offered, so saving the form keeps it.
  set_users(PERM_ADMIN, {std::make_tuple("cc", "pw", PERM_CAMERA_CONTROL)});
  r = http_get("/users_table");
  EXPECT_NE(r.body.find("<option value='2' selected>Camera Control</option>"), std::string::npos)
      << r.body;
}

// Every page of www/ as a person's browser gets it: rendered without a
// template error and valid HTML for xmllint.
TEST_F(Template, EveryPageRendersAndParses) {
  DIR *d = opendir(M7391_SOURCE_DIR "/www");
  ASSERT_NE(d, nullptr);
  int pages = 0;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (!str_ends_with(name.c_str(), ".htm") || name == "header.htm" || name == "footer.htm") continue;
    HttpReply r = http_get("/" + name);
    if (name == "admin_update_status.htm") {
      EXPECT_EQ(r.status, 303);
      continue;
    }
    EXPECT_EQ(r.status, 200) << name;
    EXPECT_EQ(r.body.find("<include"), std::string::npos) << name;
    EXPECT_EQ(r.body.find("<require"), std::string::npos) << name;
    EXPECT_EQ(r.body.find("<h2>Unauthorized</h2>"), std::string::npos) << name;
    std::string file = test_scratch_dir("pages") + "/" + name;
    char host[1024];
    FILE *f = fopen(root_path(file.c_str(), host, sizeof host), "w");
    ASSERT_NE(f, nullptr);
    fwrite(r.body.data(), 1, r.body.size(), f);
    fclose(f);
    std::string cmd = std::string("xmllint --html --noout '") + host + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << name;
    EXPECT_EQ(out, "") << name;
    pages++;
  }
  closedir(d);
  EXPECT_GE(pages, 20);
}

}  // namespace
