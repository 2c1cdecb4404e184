# The self-seeding under a fixed time-stamp counter; the test is told the counter's first value too.
tavik_target_test(rand_tsc_test SOURCES rand_tsc.cpp ARGS 1311768468603649775 RUN_OPTIONS --tsc 1311768468603649775)

# The generator state starts at 1 from the image's initialised data; the seeded flag lives in the zeroed data.
add_test(NAME target.rand_sections
         COMMAND sh -c "\"$1\" \"$2\" | grep -q ' D g_rand_state$' && \"$1\" \"$2\" | grep -q ' B g_rand_seeded$'"
                 rand_sections "${CMAKE_NM}" $<TARGET_FILE:rand_test>)
