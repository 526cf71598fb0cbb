"""A four-player polyomino placement game engine for reinforcement learning."""
