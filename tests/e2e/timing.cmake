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
    Station/SecondCtrlC.StopsTheUpdateAndAsksForNoReplug/)

# The station's tests (stationTest.cpp) play plugs, boots and stops against the
# station's own rule, which is the same C++ on every processor; they mostly
# sleep, one of them through the station's full minute. The label "station"
# lets the emulated ARM suites leave them to the native ones, and a cost makes
# CTest start the minute-long one first, so that no suite waits for it at its
# end.
set(station_tests "^(Gaps/|Boots/|Signals/|OneUpdatePerPort\\.|AllStopped\\.|Station[./])")
# A parameterised test's name goes on with its parameter's printout.
foreach(test IN LISTS e2e_tests_TESTS)
    set(labels e2e)
    set(cost 0)
    foreach(timed IN LISTS timed_tests)
        string(FIND "${test}" "${timed}" at)
        if(at EQUAL 0)
            list(APPEND labels timing)
        endif()
    endforeach()
    if(test MATCHES "${station_tests}")
        list(APPEND labels station)
    endif()
    if(test STREQUAL "Station.AnApplicationThatDoesNotComeBackIsSaidOnce")
        set(cost 1000)
    endif()
    set_tests_properties("${test}" PROPERTIES LABELS "${labels}" COST ${cost})
endforeach()
