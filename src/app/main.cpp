#include "Version.h"

#include <cstdio>

int main()
{
    std::printf("%s %s\n", CORVANE_PRODUCT_NAME, CORVANE_VERSION);
    return 0;
}
