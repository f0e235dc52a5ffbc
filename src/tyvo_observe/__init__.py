"""Run events of tyvo's jobs, and metrics, spans and failure logs made from them.

    import tyvo_observe
    tyvo_observe.prometheus()        # or tyvo_observe.opentelemetry(), tyvo_observe.log_failures()
    with tyvo_observe.subscribe(print): ...
    tyvo_observe.sentry_crons()      # or tyvo_observe.healthchecks("https://hc-ping.com/<key>")
    tyvo_observe.jobs(scheduler)     # what each job does, will do next and did last
    await tyvo_observe.drain(30)     # at shutdown, after `await runner`

Events come for every job of every tyvo.Scheduler in the process, on the job's own event loop.
"""

from tyvo_observe._drain import drain
from tyvo_observe._failures import log_failures
from tyvo_observe._healthchecks import HealthchecksSubscription, healthchecks
from tyvo_observe._jobs import JobState, jobs
from tyvo_observe._native import RunEvent
from tyvo_observe._opentelemetry import opentelemetry
from tyvo_observe._prometheus import DURATION_BUCKETS, LATENESS_BUCKETS, prometheus
from tyvo_observe._sentry import sentry_crons
from tyvo_observe._subscriptions import EventCallback, Subscription, subscribe

__all__ = ["DURATION_BUCKETS", "EventCallback", "HealthchecksSubscription", "JobState", "LATENESS_BUCKETS", "RunEvent",
           "Subscription", "drain", "healthchecks", "jobs", "log_failures", "opentelemetry", "prometheus",
           "sentry_crons", "subscribe"]
