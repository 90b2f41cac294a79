# fuzz_replay_test compiles every fuzz/<name>_fuzz.cpp with its entry point renamed to
# <name>_TestOneInput, so the ordinary suite (any compiler, any sanitizer, no libFuzzer)
# replays the seed corpora and the kept reproducers on every run.
file(GLOB ZOL_FUZZ_ENTRY_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
foreach(source ${ZOL_FUZZ_ENTRY_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    set_property(SOURCE ${source} APPEND PROPERTY
        COMPILE_DEFINITIONS LLVMFuzzerTestOneInput=${name}_TestOneInput)
endforeach()
target_sources(fuzz_replay_test PRIVATE ${ZOL_FUZZ_ENTRY_SOURCES})
