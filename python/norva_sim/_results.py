"""A vector call's JSON results, with the environments they belong to when the vector was made
with a batch_size."""


class Results(list):
    """The results in order; `env_ids` names the environment of each (empty in lock-step)."""

    def __init__(self, results, env_ids=()):
        super().__init__(results)
        self.env_ids = list(env_ids)


def results_of(answer):
    """A vector call's parsed JSON answer: {"results": [...], "env_ids": [...]}."""
    return Results(answer["results"], answer.get("env_ids", ()))
