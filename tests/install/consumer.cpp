/* A program outside the tree that uses the installed library: it gives the library a message
 * sink and two texts, saves one station and prints every line. Exit status: 0 when the save
 * returned 0 and put out its closing line. */
#include <cstdio>
#include <cstring>

#include <LdTuSaveIds.h>
#include <libqveldtusave.h>
#include <tusave_host.h>

static unsigned int print_line(void* context, const char* line) {
    int* finished = static_cast<int*>(context);
    if (std::strncmp(line, "MSG:saved", 9) == 0) *finished = 1;
    std::printf("%s\n", line);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROJECT STATION\n", argv[0]);
        return 2;
    }
    int finished = 0;
    tusave_host_set_message_sink(print_line, &finished);
    tusave_host_set_text(LdTuSaveIds::IDS_TUSAVE_START, "save of");
    tusave_host_set_text(LdTuSaveIds::IDS_TUSAVE_END, "saved");
    unsigned int result = QVELdFcsTuningParmSave("", "", argv[1], argv[2], 2, 0, 0);
    tusave_host_set_message_sink(nullptr, nullptr);
    std::printf("RESULT 0x%08x\n", result);
    return result == 0 && finished ? 0 : 1;
}
