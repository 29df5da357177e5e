#pragma once

// Fixed pieces of the conversation pages, as the page format defines them.

inline const char* const kContactHead =
    R"HTML(<!DOCTYPE html>            <html lang="en">            <head>            <meta charset="utf-8">            <meta http-equiv="X-UA-Compatible" content="IE=edge">            <meta name="viewport" content="width=device-width, initial-scale=1">            <title>聊天界面</title>            <link href="css/page-base.css" rel="stylesheet">            <link href="css/page.css" rel="stylesheet">            <script src="js/page.js"></script>            </head>            <body>            <div class="container">)HTML"
    // The zone the times are written in; the app tests run with TZ=UTC.
    R"HTML(<p class="page-zone">时间为 UTC+00:00</p>)HTML";

inline const char* const kLostHead =
    R"HTML(<!DOCTYPE html><html lang="en"><head>            <meta charset="utf-8"><meta http-equiv="X-UA-Compatible" content="IE=edge">            <meta name="viewport" content="width=device-width, initial-scale=1"><title>聊天界面</title>            <link href="css/page-base.css" rel="stylesheet"><link href="css/page.css" rel="stylesheet">            <script src="js/page.js"></script>            </head><body><div class="container">)HTML"
    R"HTML(<p class="page-zone">时间为 UTC+00:00</p>)HTML";

inline const char* const kPageEnd =
    "</div>"
    "<script type=\"text/javascript\">\r\n"
    "            function playOrPaused(id,obj){\r\n"
    "             var  audio = document.getElementById(id);\r\n"
    "              if(audio.paused){\r\n"
    "                audio.play();\r\n"
    "                obj.innerHTML='暂停';\r\n"
    "                return;\r\n"
    "              }\r\n"
    "              audio.pause();\r\n"
    "              obj.innerHTML='播放';\r\n"
    "            }\r\n"
    "           </script>"
    "</body></html>";
