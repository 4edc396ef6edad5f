// The one web page of leafid-serve, built into the program from page.html.
#pragma once

const char* pageHtml();
