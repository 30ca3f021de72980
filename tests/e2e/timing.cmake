# Read by CTest after the discovered tests: the end-to-end tests whose margin
# is a fraction of the program's own timeouts (a reply just later than one
# must fail, a verdict must come within a bound). The program counts its
# timeouts in polls, which stretch when the processors are busy, so these run
# with nothing else of their suite beside them (RUN_SERIAL), and the label
# "timing" lets tools/run-tests.sh run them apart from the suites' other tests.
set(timed_tests
    LineFaults.AReplyLaterThanTheTimeoutFailsTheCheck
    PageFaults.DataFramesOKIsNoAnswerToThePageWrite
    PageFaults.FloodingDongleCannotHoldTheVerdict
    PageFaults.UnpluggedMidwayFailsPromptlyAndNeverClaimsSuccess
    HandOver.DongleAlreadyInItsBootloaderIsFoundWithoutTheTwoSecondWait
    HandOver.ApplicationThatNeverRestartsStillLeavesAnUpdatedDongle)
foreach(test IN LISTS timed_tests)
    list(FIND e2e_tests_TESTS "${test}" found)
    if(found GREATER -1)
        set_tests_properties(${test} PROPERTIES LABELS "e2e;timing" RUN_SERIAL ON)
    endif()
endforeach()
