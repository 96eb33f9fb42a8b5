// Fixed texts of every page.
#include "server/PageAssets.h"

#include "server/SiteAddresses.h"

const std::string& StyleSheet() {
  static const std::string text =
      "<style>"
      ".sort-table {font: Icon; border: 1px Solid ThreeDShadow; background: Window; "
      "color: WindowText; font-family: arial, helvetica, sans-serif; font-size: 11px}"
      ".sort-table thead {background: ButtonFace}"
      ".sort-table td {padding: 2px 5px}"
      ".sort-table thead td {border: 1px solid; border-color: ButtonHighlight ButtonShadow "
      "ButtonShadow ButtonHighlight; cursor: default}"
      ".even {background: #eee}"
      ".odd {}"
      ".foldeven {background: #F9F9EB}"
      ".foldodd {background: #F6F6DD}"
      "body {font-family: Verdana, Helvetica, Arial, Sans-Serif; font: Message-Box}"
      "</style>";
  return text;
}

const std::string& UploadScript() {
  static const std::string text =
      "<script type=\"text/javascript\">\r\n"
      "AIM = {\r\n"
      " frame : function(c) {\r\n"
      "  var n = 'f' + Math.floor(Math.random() * 99999);\r\n"
      "  var d = document.createElement('DIV');\r\n"
      "  d.innerHTML = '<iframe style=\"display:none\" src=\"about:blank\" id=\"' + n + '\" "
      "name=\"' + n + '\" onload=\"AIM.loaded(\\'' + n + '\\')\"></iframe>';\r\n"
      "  document.body.appendChild(d);\r\n"
      "  var i = document.getElementById(n);\r\n"
      "  if (c && typeof(c.onComplete) == 'function') {\r\n"
      "   i.onComplete = c.onComplete;\r\n"
      "  }\r\n"
      "  return n;\r\n"
      " },\r\n"
      " form : function(f, name) {\r\n"
      "  f.setAttribute('target', name);\r\n"
      " },\r\n"
      " submit : function(f, c) {\r\n"
      "  AIM.form(f, AIM.frame(c));\r\n"
      "  if (c && typeof(c.onStart) == 'function') {\r\n"
      "   return c.onStart();\r\n"
      "  } else {\r\n"
      "   return true;\r\n"
      "  }\r\n"
      " },\r\n"
      " loaded : function(id) {\r\n"
      "  var i = document.getElementById(id);\r\n"
      "  if (i.contentDocument) {\r\n"
      "   var d = i.contentDocument;\r\n"
      "  } else if (i.contentWindow) {\r\n"
      "   var d = i.contentWindow.document;\r\n"
      "  } else {\r\n"
      "   var d = window.frames[id].document;\r\n"
      "  }\r\n"
      "  if (d.location.href == 'about:blank') {\r\n"
      "   return;\r\n"
      "  }\r\n"
      "  if (typeof(i.onComplete) == 'function') {\r\n"
      "   i.onComplete(d.body.innerHTML);\r\n"
      "  }\r\n"
      " }\r\n"
      "}\r\n"
      "function startCallback() {\r\n"
      " document.getElementById('r').innerHTML = 'Uploading file...';\r\n"
      " return true;\r\n"
      "}\r\n"
      "function completeCallback(response) {\r\n"
      " alert('ok');\r\n"
      " document.getElementById('r').innerHTML = 'File uploaded.';\r\n"
      "}\r\n"
      "</script>";
  return text;
}

void AddAdvertBlock(std::vector<std::string>& lines) {
  using namespace mirelo::site;
  lines.emplace_back("<!-- Google ads begin -->");
  lines.emplace_back("<SCRIPT TYPE=\"text/javascript\"><!--");
  lines.emplace_back(std::string(" google_ad_client = \"") + kAdvertPublisher + "\";");
  lines.emplace_back(" google_alternate_color = \"FFFFFF\";");
  lines.emplace_back(" google_ad_width = 728;");
  lines.emplace_back(" google_ad_height = 90;");
  lines.emplace_back(" google_ad_format = \"728x90_as\";");
  lines.emplace_back(" google_ad_type = \"text_image\";");
  lines.emplace_back("//2007-05-11: Novrix wallpaper");
  lines.emplace_back(std::string(" google_ad_channel = \"") + kAdvertChannel + "\";");
  lines.emplace_back(" google_color_border = \"006699\";");
  lines.emplace_back(" google_color_bg = \"FFFFFF\";");
  lines.emplace_back(" google_color_link = \"CC0000\";");
  lines.emplace_back(" google_color_text = \"000000\";");
  lines.emplace_back(" google_color_url = \"67bb67\";");
  lines.emplace_back("//--></SCRIPT>");
  lines.emplace_back(std::string("<SCRIPT TYPE=\"text/javascript\" SRC=\"") + kAdvertScript +
                     "\"></SCRIPT>");
  lines.emplace_back("<!-- Google ads end -->");
}

const std::string& NoticeLine() {
  static const std::string text =
      std::string("<I>You are using Mirelo File Share. You can download it from <a href=\"") +
      mirelo::site::kDownloadPage + "\"><b>here</b></a>.</I>";
  return text;
}
