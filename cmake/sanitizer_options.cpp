// Run-time defaults of every program in a sanitizer build, so that a test run by hand behaves
// as under `make check-sanitize`: any report ends the process with status 86, apart from the
// programs' own statuses, leaks are errors, and the failing-allocation preload library may
// come before the sanitizer. The exit status is one flag shared by the three run-times.
extern "C" {

const char *__asan_default_options()
{
    return "detect_leaks=1:abort_on_error=0:exitcode=86:verify_asan_link_order=0:"
           "strict_string_checks=1:detect_stack_use_after_return=1:"
           "check_initialization_order=1";
}

const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1:exitcode=86";
}

const char *__lsan_default_options()
{
    return "exitcode=86";
}
}
