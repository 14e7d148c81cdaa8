// A C++ program outside the tree that uses the installed library: the shipped texts, a message
// sink, one save of a station, every line printed. Exit status 0 when the save returned 0 and
// every line it put out carried a text.
#include <tusave/LdTuSaveIds.h>
#include <tusave/libqveldtusave.h>

#include <cstdio>
#include <cstring>

static unsigned int print_line(void* context, const char* line) {
    int* empty = static_cast<int*>(context);
    if (std::strlen(line) <= 4) ++*empty;   // a prefix without a text
    std::printf("%s\n", line);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROJECT STATION\n", argv[0]);
        return 2;
    }
    int empty = 0;
    tusave_host_use_default_texts();
    if (std::strcmp(tusave_host_default_text(LdTuSaveIds::IDS_TUSAVE_END), "Tuning parameter save finished.") != 0)
        return 1;
    tusave_host_set_message_sink(print_line, &empty);
    unsigned int result = QVELdFcsTuningParmSave("", "", argv[1], argv[2], 2, 0, 0);
    tusave_host_set_message_sink(nullptr, nullptr);
    std::printf("RESULT 0x%08x %s\n", result, tusave_result_meaning(result));
    return result == TUSAVE_OK && empty == 0 ? 0 : 1;
}
