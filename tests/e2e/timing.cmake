# Read by CTest after the discovered tests: the end-to-end tests that play a
# fault or an action against the program's waits (a reply later than a
# timeout, a verdict within a bound, a Ctrl-C or a dongle plugged in or
# renamed at a chosen moment). None assumes how long a wait lasts: a late
# reply comes once the program has shown that it gave up (it waits for
# silence, sends its next frame or lets go of the port), a reply meant to be
# in time after so many of the program's own polls, an action after what the
# program did; their time bounds only catch hangs. So they run beside the
# others. The label "timing" lets tools/run-tests.sh run them once more with
# a processor kept busy, as a user's machine may be.
set(timed_tests
    Discovery.NoDongleFailsAfterThreeAttemptsPerModeAboutASecondApart
    Discovery.APortWithoutPermissionIsNamedWithItsRemedyInQuietModeToo
    Images/PlainUpdate.FromTheBootloaderTellsEachStepAndSendsExactFrames
    Replies/CommandReply.IsJudged/AnsweredAfter3000Polls
    Replies/CommandReply.IsJudged/AnsweredOnceGivenUp
    Replies/CommandReply.IsJudged/SplitByAGap
    Replies/CommandReply.IsJudged/EnterAnsweredAfter3000Polls
    OnTheWay/PageFaults.StopTheUpdateWithoutClaimingIt/LateOKFromADongleThatDoesNotEcho
    OnTheWay/PageFaults.StopTheUpdateWithoutClaimingIt/FloodAtOnce
    OnTheWay/PageFaults.StopTheUpdateWithoutClaimingIt/FloodAfterTheTimeout
    OnTheWay/PageFaults.StopTheUpdateWithoutClaimingIt/UnpluggedMidway
    SeveralDongles.ANameThatComesToFitTwoDonglesIsRefusedThen
    SeveralDongles.AllStopsOnCtrlCAsItIsAsked
    SeveralDongles.WatchUpdatesEachDongleOnceAsItComes
    SeveralDongles.WatchStopsOnCtrlCAndLetsTheUpdateEnd
    AllStopped.CtrlCDuringTheLaunchLeavesTheRestUntouched
    Station.SecondCtrlCStopsTheUpdateAndAsksForNoReplug)
# A parameterised test's name goes on with its parameter's printout.
foreach(test IN LISTS e2e_tests_TESTS)
    foreach(timed IN LISTS timed_tests)
        string(FIND "${test}" "${timed}" at)
        if(at EQUAL 0)
            set_tests_properties("${test}" PROPERTIES LABELS "e2e;timing")
        endif()
    endforeach()
endforeach()
