// Uses the installed headers and library: builds a string through the exported class
// and prints it, so the driver can check that the program really ran against the library.
// Both include forms a client may use.
#include <zoltov/zoltov.h>
#include <CZolString.h>

#include <cstdio>

int main() {
    CZolString text("zoltov");
    text += " consumer";
    text.MakeUpper();
    std::printf("%s %d\n", text.c_str(), text.GetLength());
    return text.GetLength() == 15 ? 0 : 1;
}
