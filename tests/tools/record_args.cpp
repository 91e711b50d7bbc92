// Stands in for a user's alert program: record_args OUTPUT_FILE [ARG...] writes every
// argument after OUTPUT_FILE to that file, each followed by a NUL byte, so a test can see
// exactly the arguments the program was started with. Written to a temporary file first
// and renamed, so a reader never sees half of it.
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string target = argv[1];
    const std::string temporary = target + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return 1;
    for (int i = 2; i < argc; ++i)
        std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, file);
    if (std::fclose(file) != 0)
        return 1;
    return std::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : 1;
}
