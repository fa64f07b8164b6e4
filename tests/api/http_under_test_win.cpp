// httpGet and utf8ToWide exactly as the product builds them, but aimed at the
// stand-in that the test started: here the port is a variable the tests set,
// where the product has its build setting.
int sovelinTestApiPort = 0;
#define SOVELIN_API_HOST L"localhost"
#define SOVELIN_API_PORT sovelinTestApiPort
#include "api/http_win.cpp"
