// Runs MerloxCards.Card, from the assembly the NuGet package installed, against the
// host build's libmerlox.so and its simulated cards: disposal and the watchdog,
// exceptions and checked arguments, and the Task waits with cancellation, unplug and
// close. Exit code 0 and "all passed" on success.
using System;
using System.Threading;
using System.Threading.Tasks;
using MerloxCards;

static class CardTest
{
    static int failures = 0;

    static void Expect(bool condition, string what)
    {
        if (condition) return;
        Console.WriteLine("FAILED: " + what);
        ++failures;
    }

    // The exception a call throws, or null.
    static Exception Thrown(Action call)
    {
        try
        {
            call();
            return null;
        }
        catch (AggregateException error)
        {
            return error.InnerException;
        }
        catch (Exception error)
        {
            return error;
        }
    }

    static int PlugOne()
    {
        MerloxSim.MERLOXSIM_Reset();
        Merlox.MERLOX_CloseAll();
        int card = MerloxSim.MERLOXSIM_Plug(0x8080);
        Expect(Card.Discover() == 1, "one card found");
        return card;
    }

    static bool WatchdogRunning(int card)
    {
        MERLOXSIM_WatchdogState state;
        MerloxSim.MERLOXSIM_GetWatchdog(card, out state);
        return state.Running != 0;
    }

    static void DisposeStopsTheWatchdogUnlessTold()
    {
        foreach (bool stop in new[] { true, false })
        {
            int card = PlugOne();
            using (var opened = new Card(0) { StopOnDispose = stop })
            {
                Expect(opened.SetTimeout(TimeSpan.FromSeconds(2.5)) == TimeSpan.FromSeconds(2),
                       "the timeout as the card uses it");
                opened.Start();
                Expect(opened.ReadStatus().HasFlag(WatchdogStatus.Running), "running");
            }
            Expect(WatchdogRunning(card) == !stop, "StopOnDispose " + stop);
            Expect(Merlox.MERLOX_CloseCard(0) == 6, "disposed: the card is closed");
        }
    }

    static void FailuresAreExceptionsByKind()
    {
        PlugOne();
        var absent = Thrown(() => new Card(3)) as CardNotFoundException;
        Expect(absent != null && absent.Status == 2 && absent.Text == "no open card with this number",
               "an absent card: " + absent);
        Expect(Thrown(() => new Card(40)) is InvalidArgumentException, "card 40");
        using (var opened = new Card(0))
        {
            MerloxSim.MERLOXSIM_ClearRequests();
            Action[] refused =
            {
                () => opened.SetTimeout(TimeSpan.FromSeconds(65536)),  // would wrap to 0 s
                () => opened.SetTimeout(TimeSpan.FromSeconds(0.4)),
                () => opened.SetResetDuration(TimeSpan.FromSeconds(256)),
                () => opened.WriteOutput(8, true),
                () => opened.ReadInput(-1),
                () => opened.ReadSensor(6),
                () => opened.WriteOutputs(256),
                () => opened.SetPwm(0, 0, 255),
                () => opened.SetSpeaker(65280),
                () => opened.SetDebounce(8, 1),
                () => opened.HandleEvent(Reaction.Exit | Reaction.ForceExit),
            };
            for (int i = 0; i < refused.Length; ++i)
            {
                Expect(Thrown(refused[i]) is InvalidArgumentException, "refused case " + i);
            }
            Expect(MerloxSim.MERLOXSIM_RequestCount() == 0, "nothing sent for refused values");
        }
    }

    static void WaitsAreTasksWithCancellation()
    {
        int card = PlugOne();
        using (var opened = new Card(0))
        {
            var seen = new ManualResetEventSlim();
            int seenInputs = -1;
            opened.InputsChanged += (sender, change) =>
            {
                seenInputs = change.Inputs;
                seen.Set();
            };
            using (var cancel = new CancellationTokenSource(200))
            {
                var started = DateTime.UtcNow;
                Exception waited = Thrown(() => opened.WaitForChangeAsync(cancel.Token).Wait());
                double seconds = (DateTime.UtcNow - started).TotalSeconds;
                Expect(waited is TaskCanceledException, "a cancelled wait: " + waited);
                Expect(seconds >= 0.19 && seconds < 1, "cancelled on time: " + seconds);
            }
            MerloxSim.MERLOXSIM_SetInputs(card, 0x21);
            Task<ChangeOfState> next = opened.WaitForChangeAsync();
            Expect(next.Wait(5000) && next.Result.Inputs == 0x21 && next.Result.Changed == 0x21,
                   "the next wait gets the next change");
            Expect(seen.Wait(5000) && seenInputs == 0x21, "InputsChanged raised");

            Task<ChangeOfState> pending = opened.WaitForChangeAsync();
            MerloxSim.MERLOXSIM_WaitForPendingReads(card, 1, 5000);
            MerloxSim.MERLOXSIM_Unplug(card);
            Expect(Thrown(() => pending.Wait(5000)) is CardRemovedException, "unplugged");
            Expect(Thrown(() => opened.WaitForChangeAsync().Wait(5000)) is CardRemovedException,
                   "and every later wait");
        }

        card = PlugOne();
        Task<WatchdogEventArgs> closing;
        using (var opened = new Card(0))
        {
            closing = opened.WaitForWatchdogEventAsync();
            MerloxSim.MERLOXSIM_WaitForPendingReads(card, 1, 5000);
        }
        Expect(Thrown(() => closing.Wait(5000)) is CardNotFoundException, "disposed during a wait");
        Expect(MerloxSim.MERLOXSIM_PendingReads(card) == 0, "no read left in the driver");
    }

    static int Main()
    {
        DisposeStopsTheWatchdogUnlessTold();
        FailuresAreExceptionsByKind();
        WaitsAreTasksWithCancellation();
        Merlox.MERLOX_CloseAll();
        Expect(MerloxSim.MERLOXSIM_ViolationCount() == 0, "no request the driver would refuse");
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
