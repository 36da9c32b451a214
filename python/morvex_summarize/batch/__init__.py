"""Many conversations summarized at once: jobs read from JSON lines (`jobs`), results
written as JSON lines as they finish, and the engines that run them, this process
(`jobs.run_batch`) or a Ray cluster (`ray.summarize_dataset`)."""
