# Read by CTest after the discovered tests: the end-to-end tests whose margin
# is a fraction of the program's own timeouts (a reply just later than one
# must fail, a verdict must come within a bound), or that act at chosen
# moments of a run (a Ctrl-C, a dongle plugged in or renamed). The program counts its
# timeouts in polls, which stretch when the processors are busy, so these run
# with nothing else of their suite beside them (RUN_SERIAL), and the label
# "timing" lets tools/run-tests.sh run them apart from the suites' other tests.
set(timed_tests
    Discovery.NoDongleFailsAfterThreeAttemptsPerModeAboutASecondApart
    Images/PlainUpdate.FromTheBootloaderTellsEachStepAndSendsExactFrames
    Replies/CommandReply.IsJudged/AnsweredAfter400ms
    Replies/CommandReply.IsJudged/AnsweredAfter1500ms
    Replies/CommandReply.IsJudged/SplitByAGap
    Replies/CommandReply.IsJudged/EnterAnsweredAfter400ms
    Replies/CommandReply.IsJudged/ApplicationNeverRestarts
    OnTheWay/PageFaults.StopTheUpdateWithoutClaimingIt/DataFramesOKToThePageWrite
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
            set_tests_properties("${test}" PROPERTIES LABELS "e2e;timing" RUN_SERIAL ON)
        endif()
    endforeach()
endforeach()
