// The event pump behind Card's waits and events: one reader thread per card and pipe.
//
// The library's waits block until the card sends a packet and can only be ended by
// an abort, which, when no wait is pending, ends the card's next wait instead. A
// cancellation built on that abort would race it and could lose a packet, so the
// pump never aborts for a cancellation: its thread waits in the library for ever and
// hands each event to the oldest pending Task, or keeps it for the next one, and
// raises it as an event. Disposing the Card ends the thread.
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace MerloxCards
{
    internal sealed class EventPump<T>
    {
        const int Backlog = 1024;  // unread events kept; beyond it the oldest go

        readonly string name;
        readonly Func<T> read;
        readonly Action abort;
        readonly object gate = new object();
        readonly Queue<T> unread = new Queue<T>();
        readonly LinkedList<TaskCompletionSource<T>> waiters =
            new LinkedList<TaskCompletionSource<T>>();
        Thread thread;
        volatile bool stopping;
        MerloxException ended;

        public event Action<T> Arrived;

        public EventPump(string name, Func<T> read, Action abort)
        {
            this.name = name;
            this.read = read;
            this.abort = abort;
        }

        public void Start()
        {
            lock (gate)
            {
                if (thread != null) return;
                thread = new Thread(Run) { Name = name, IsBackground = true };
                thread.Start();
            }
        }

        // The next event; cancelling the token cancels this Task only.
        public Task<T> NextAsync(CancellationToken token)
        {
            TaskCompletionSource<T> waiter;
            LinkedListNode<TaskCompletionSource<T>> node;
            lock (gate)
            {
                if (unread.Count > 0) return Task.FromResult(unread.Dequeue());
                if (ended != null) return Task.FromException<T>(ended);
                waiter = new TaskCompletionSource<T>(TaskCreationOptions.RunContinuationsAsynchronously);
                node = waiters.AddLast(waiter);
            }
            Start();
            if (token.CanBeCanceled)
            {
                token.Register(() =>
                {
                    lock (gate)
                    {
                        if (node.List != null) waiters.Remove(node);
                    }
                    waiter.TrySetCanceled(token);
                });
            }
            return waiter.Task;
        }

        // Keeps the reader thread from starting another read.
        public void RequestStop()
        {
            stopping = true;
        }

        public void Stop(MerloxException reason)
        {
            stopping = true;
            Thread running = thread;
            while (running != null && running.IsAlive)
            {
                try
                {
                    abort();
                }
                catch (MerloxException)
                {
                    // The card has gone or was closed: its wait ends by itself.
                }
                running.Join(100);
            }
            Finish(reason);
        }

        void Run()
        {
            while (!stopping)
            {
                T item;
                try
                {
                    item = read();
                }
                catch (AbortedException aborted)
                {
                    if (stopping) return;
                    Fail(aborted);  // another caller's abort: the next waiter hears of it
                    continue;
                }
                catch (MerloxException error)
                {
                    if (!stopping) Finish(error);
                    return;
                }
                Deliver(item);
            }
        }

        void Deliver(T item)
        {
            Action<T> arrived = Arrived;
            if (arrived != null)
            {
                try
                {
                    arrived(item);
                }
                catch (Exception error)
                {
                    // A handler must not end the pump.
                    Console.Error.WriteLine(name + ": an event handler threw: " + error);
                }
            }
            TaskCompletionSource<T> waiter = null;
            lock (gate)
            {
                if (waiters.Count > 0)
                {
                    waiter = waiters.First.Value;
                    waiters.RemoveFirst();
                }
                else
                {
                    if (unread.Count == Backlog) unread.Dequeue();
                    unread.Enqueue(item);
                }
            }
            if (waiter != null) waiter.TrySetResult(item);
        }

        void Fail(MerloxException error)
        {
            TaskCompletionSource<T> waiter = null;
            lock (gate)
            {
                if (waiters.Count == 0) return;
                waiter = waiters.First.Value;
                waiters.RemoveFirst();
            }
            waiter.TrySetException(error);
        }

        void Finish(MerloxException error)
        {
            List<TaskCompletionSource<T>> failed;
            lock (gate)
            {
                if (ended != null) return;
                ended = error;
                failed = new List<TaskCompletionSource<T>>(waiters);
                waiters.Clear();
            }
            foreach (TaskCompletionSource<T> waiter in failed) waiter.TrySetException(error);
        }
    }
}
